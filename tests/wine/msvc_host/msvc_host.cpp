// A test host built for the Microsoft C++ ABI, as most engines are: member
// functions are called through MSVC's vtable layout (thiscall on 32-bit x86),
// and lightvol.dll is linked through an import library, exactly as such an
// engine links it. It is compiled by clang for *-pc-windows-msvc and linked by
// lld-link without any C runtime: its own entry point, output through
// kernel32's WriteFile, and the device from lightvol_msvc_helper.dll.
//
// It drives every slot of ILightingSystem and IPointLight, renders through
// the test effect provider (WINEDLLOVERRIDES=d3dx9_43=n), checks the texels at
// the light's centre and around it, every render-state callback call, a real
// Reset, and the device's reference count after release. Prints one PASS or
// FAIL line per check and a closing "N passed, M failed".
#include "lightvol.h"
#include "msvc_helper.h"

extern "C" {
// The compiler references this symbol when floating point is used.
int _fltused = 0;

__declspec(dllimport) void* __stdcall GetStdHandle(uint32_t which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, uint32_t size,
                                              uint32_t* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(uint32_t code);

// The compiler may emit calls to these for copies and zeroing.
void* memset(void* dest, int value, size_t size) {
    unsigned char* d = static_cast<unsigned char*>(dest);
    for (size_t i = 0; i < size; ++i) d[i] = static_cast<unsigned char>(value);
    return dest;
}
void* memcpy(void* dest, const void* src, size_t size) {
    unsigned char* d = static_cast<unsigned char*>(dest);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    for (size_t i = 0; i < size; ++i) d[i] = s[i];
    return dest;
}
}

namespace {

// --- Output without a C runtime ------------------------------------------------

class Text {
public:
    Text& operator<<(const char* s) {
        while (s && *s && length_ < sizeof buffer_ - 2) buffer_[length_++] = *s++;
        return *this;
    }
    // 32-bit arithmetic only: 64-bit division would need the C runtime's helpers.
    Text& operator<<(uint32_t u) {
        char digits[12];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + static_cast<int>(u % 10));
            u /= 10;
        } while (u);
        while (n) {
            const char c[2] = {digits[--n], 0};
            *this << c;
        }
        return *this;
    }
    Text& operator<<(int32_t v) {
        if (v < 0) *this << "-";
        return *this << (v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v));
    }
    // A float to three decimals, enough for the values checked here.
    Text& operator<<(float f) {
        if (f != f) return *this << "nan";
        if (f < 0) {
            *this << "-";
            f = -f;
        }
        if (f > 1e6f) return *this << "big";
        const uint32_t thousandths = static_cast<uint32_t>(f * 1000.0f + 0.5f);
        *this << thousandths / 1000 << ".";
        const uint32_t frac = thousandths % 1000;
        if (frac < 100) *this << "0";
        if (frac < 10) *this << "0";
        return *this << frac;
    }
    void clear() { length_ = 0; }
    const char* c_str() {
        buffer_[length_] = 0;
        return buffer_;
    }
    void write_line() {
        buffer_[length_++] = '\n';
        uint32_t written = 0;
        WriteFile(GetStdHandle(static_cast<uint32_t>(-11)), buffer_, static_cast<uint32_t>(length_),
                  &written, nullptr);
        length_ = 0;
    }
    bool empty() const { return length_ == 0; }

private:
    char buffer_[1024];
    size_t length_ = 0;
};

int g_passed = 0;
int g_failed = 0;
Text g_why;  // the failures of the current check

// Starts collecting the failures of one check.
void begin_check() { g_why.clear(); }
void expect(bool ok, const char* what) {
    if (ok) return;
    if (!g_why.empty()) g_why << "; ";
    g_why << what;
}
Text& why() {
    if (!g_why.empty()) g_why << "; ";
    return g_why;
}
void end_check(const char* name) {
    Text line;
    if (g_why.empty()) {
        line << "PASS msvc host: " << name;
        ++g_passed;
    } else {
        line << "FAIL msvc host: " << name << ": " << g_why.c_str();
        ++g_failed;
    }
    line.write_line();
    g_why.clear();
}

// --- The render-state callback -------------------------------------------------

struct StateCall {
    int32_t state;
    int32_t value;
};
StateCall g_calls[64];
int g_call_count = 0;

int32_t LIGHTVOL_CDECL set_render_state(int32_t state, int32_t value) {
    if (g_call_count < 64) g_calls[g_call_count] = StateCall{state, value};
    ++g_call_count;
    return lvh_set_render_state(state, value);
}

// A frame with lights: seven states for the pass, four put back afterwards.
// D3DRS_ZENABLE 7, ZWRITEENABLE 14, ALPHABLENDENABLE 27, BLENDOP 171 (MAX 5,
// ADD 1), SRCBLEND 19 and DESTBLEND 20 (ONE 2), CULLMODE 22 (CCW 3).
const StateCall k_frame_states[] = {{7, 0},  {14, 0}, {27, 1}, {171, 5}, {19, 2}, {20, 2},
                                    {22, 3}, {7, 1},  {14, 1}, {171, 1}, {27, 0}};

void expect_frame_states(const char* frame) {
    const int expected = static_cast<int>(sizeof k_frame_states / sizeof k_frame_states[0]);
    if (g_call_count != expected) {
        why() << frame << ": the render-state callback was called " << g_call_count
              << " times, expected " << expected;
        return;
    }
    for (int i = 0; i < expected; ++i)
        if (g_calls[i].state != k_frame_states[i].state ||
            g_calls[i].value != k_frame_states[i].value) {
            why() << frame << ": render-state call " << i << " was (" << g_calls[i].state << ", "
                  << g_calls[i].value << "), expected (" << k_frame_states[i].state << ", "
                  << k_frame_states[i].value << ")";
            return;
        }
}

// --- Frames and texels -----------------------------------------------------------

// The placement example: 64 x 64 x 8 cells of 1 unit around focus (10, 20),
// moving +x and -y: the volume is (-23, -11, 0) .. (41, 53, 8).
const Vec3 k_focus{10, 20, 5};
const float k_movement[2] = {1, -1};
const Vec3 k_box_min{-22, -12, 0};
const Vec3 k_box_max{42, 52, 8};

void frame(ILightingSystem* system) {
    g_call_count = 0;
    lvh_begin_scene();
    system->render(&k_focus, k_movement, &k_box_min, &k_box_max);
    lvh_end_scene();
}

int round_to_int(float v) { return static_cast<int>(v >= 0 ? v + 0.5f : v - 0.5f); }

// Reads the light map and checks the texel of world point (x, y) in `layer`,
// found through LightMapInfo as a host shader finds it.
void expect_texel(ILightingSystem* system, float x, float y, int layer, uint32_t rgb,
                  const char* what) {
    const LightMapInfo* info = system->get_light_map();
    uint32_t width = 0, height = 0;
    if (!info || !info->texture || lvh_read_texture(info->texture, &width, &height) != 0) {
        why() << what << ": the light map cannot be read (" << lvh_error() << ")";
        return;
    }
    const float tx =
        (info->origin.x - x) * info->scale.x - static_cast<float>(layer) * info->layer_step[0];
    const float ty =
        (info->origin.y - y) * info->scale.y - static_cast<float>(layer) * info->layer_step[1];
    const int px = round_to_int(tx * static_cast<float>(width));
    const int py = round_to_int(ty * static_cast<float>(height));
    const uint32_t texel = px < 0 || py < 0
                               ? 0xFFFFFFFFu
                               : lvh_texel(static_cast<uint32_t>(px), static_cast<uint32_t>(py));
    bool ok = texel != 0xFFFFFFFFu;
    for (int shift = 0; ok && shift <= 16; shift += 8) {
        const int got = static_cast<int>((texel >> shift) & 0xFF);
        const int want = static_cast<int>((rgb >> shift) & 0xFF);
        ok = got - want <= 2 && want - got <= 2;
    }
    if (!ok)
        why() << what << ": texel (" << px << ", " << py << ") is " << texel
              << " (0xRRGGBB), expected " << rgb;
}

bool is_black(ILightingSystem* system) {
    const LightMapInfo* info = system->get_light_map();
    uint32_t width = 0, height = 0;
    if (!info || !info->texture || lvh_read_texture(info->texture, &width, &height) != 0)
        return false;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            if (lvh_texel(x, y) != 0) return false;
    return true;
}

IPointLight* add_light(ILightingSystem* system, Vec3 position, float radius, Vec3 color) {
    IPointLight* light = system->create_point_light();
    if (!light) return nullptr;
    light->set_color(&color);
    light->set_position(&position);
    light->set_radius(radius);
    return light;
}

// --- The checks --------------------------------------------------------------------

void run() {
    if (lvh_start() != 0) {
        begin_check();
        why() << lvh_error();
        end_check("setup");
        return;
    }
    const uint32_t device_refs = lvh_device_refs();

    // A new system, and LightMapInfo as this compiler lays it out.
    begin_check();
    ILightingSystem* system = create_ILightingSystem();
    if (!system) {
        why() << "create_ILightingSystem returned null";
        end_check("create");
        lvh_stop();
        return;
    }
    const LightMapInfo* info = system->get_light_map();
    expect(info != nullptr, "get_light_map returned null");
    expect(system->is_enabled(), "a new system is not enabled");
    expect(info && !info->texture && info->layer_step[0] == 0 && info->origin.x == 0 &&
               info->scale.z == 0,
           "a new system's LightMapInfo is not all zero");
    expect(sizeof(LightMapInfo) == (sizeof(void*) == 4 ? 36u : 40u), "sizeof(LightMapInfo)");
    expect(offsetof(LightMapInfo, scale) == sizeof(void*) + 20, "offsetof(LightMapInfo, scale)");
    end_check("create");
    if (!info) {
        system->release();
        lvh_stop();
        return;
    }

    // init, set_volume, set_base_layer, a light, render.
    begin_check();
    system->init(lvh_device(), &set_render_state);
    system->set_volume(64, 64, 8, 1.0f);
    system->set_base_layer(0);
    expect(system->get_light_map() == info, "get_light_map moved after set_volume");
    expect(info->texture != nullptr, "no light map after set_volume");
    IPointLight* a = add_light(system, Vec3{10, 20, 3}, 6, Vec3{1, 0.5f, 0.25f});
    expect(a != nullptr, "create_point_light returned null");
    frame(system);
    expect_frame_states("a frame with a light");
    if (info->layer_step[0] != -0.125f || info->layer_step[1] != 0.0f || info->origin.x != -23.0f ||
        info->origin.y != 53.0f || info->origin.z != 0.0f || info->scale.x != -0.001953125f ||
        info->scale.y != 0.015625f || info->scale.z != -1.0f)
        why() << "LightMapInfo: layer_step (" << info->layer_step[0] << ", " << info->layer_step[1]
              << ") origin (" << info->origin.x << ", " << info->origin.y << ", " << info->origin.z
              << ") scale (" << info->scale.x * 1024.0f << "/1024, " << info->scale.y * 1024.0f
              << "/1024, " << info->scale.z
              << "), expected (-0.125, 0) (-23, 53, 0) (-2/1024, "
                 "16/1024, -1)";
    expect_texel(system, 10, 20, 3, 0xFF8040, "the light's centre");
    expect_texel(system, 13, 20, 3, 0x804020, "3 cells from the centre");
    expect_texel(system, 17, 20, 3, 0x000000, "outside the disc");
    end_check("render");
    if (!a) {
        system->release();
        lvh_stop();
        return;
    }

    // The IPointLight slots.
    begin_check();
    a->set_radius(12);
    frame(system);
    expect_texel(system, 13, 20, 3, 0xBF6030, "set_radius(12): 3 cells from the centre");
    const Vec3 moved{0, 30, 3};
    a->set_position(&moved);
    a->set_radius(2);
    frame(system);
    expect_texel(system, 10, 20, 3, 0x000000, "set_position: the old centre");
    expect_texel(system, 0, 30, 3, 0xFF8040, "set_position: the new centre");
    a->set_auto_cull(false);
    a->set_visible(false);
    frame(system);
    expect(is_black(system), "set_visible(false) without auto cull still draws");
    expect(g_call_count == 0, "a frame without visible lights called the render-state callback");
    a->set_visible(true);
    a->set_auto_cull(true);
    const Vec3 blue{0, 0, 1};
    a->set_color(&blue);
    frame(system);
    expect_texel(system, 0, 30, 3, 0x0000FF, "set_color");
    end_check("light slots");

    // The remaining ILightingSystem slots.
    begin_check();
    system->set_enabled(false);
    expect(!system->is_enabled(), "is_enabled after set_enabled(false)");
    const Vec3 green{0, 1, 0};
    a->set_color(&green);
    frame(system);
    expect(g_call_count == 0, "a disabled system called the render-state callback");
    expect_texel(system, 0, 30, 3, 0x0000FF, "disabled: the light map keeps the last frame");
    system->set_enabled(true);
    expect(system->is_enabled(), "is_enabled after set_enabled(true)");
    system->set_base_layer(2);
    frame(system);
    expect(info->origin.z == 2.0f, "set_base_layer(2): origin.z is not 2");
    expect_texel(system, 0, 30, 1, 0x00FF00, "set_base_layer(2): z 3 is layer 1");
    system->set_base_layer(0);
    IPointLight* b = add_light(system, Vec3{20, 40, 3}, 4, Vec3{1, 1, 1});
    system->destroy_point_light(a);
    system->destroy_point_light(nullptr);
    frame(system);
    expect_texel(system, 0, 30, 3, 0x000000, "destroy_point_light");
    expect_texel(system, 20, 40, 3, 0xFFFFFF, "the remaining light");
    expect(b != nullptr, "second create_point_light returned null");
    system->clear_point_lights();
    frame(system);
    expect(is_black(system), "clear_point_lights left light in the map");
    end_check("system slots");

    // on_lost_device, a real Reset, on_reset_device.
    begin_check();
    add_light(system, Vec3{10, 20, 3}, 6, Vec3{1, 0.5f, 0.25f});
    system->on_lost_device();
    expect(info->texture == nullptr, "on_lost_device left LightMapInfo::texture set");
    const int32_t hr = lvh_reset();
    if (hr != 0) why() << "Reset after on_lost_device failed (hr " << hr << ")";
    system->on_reset_device();
    expect(info->texture != nullptr, "no light map after on_reset_device");
    frame(system);
    expect_frame_states("the first frame after the reset");
    expect_texel(system, 10, 20, 3, 0xFF8040, "after the reset: the light's centre");
    end_check("reset");

    // release: every device reference lightvol took is given back.
    begin_check();
    expect(lvh_device_refs() > device_refs,
           "the device's count did not rise while lightvol held resources");
    system->release();
    const uint32_t after = lvh_device_refs();
    if (after != device_refs)
        why() << "device references " << device_refs << " before init, " << after
              << " after release";
    const uint32_t boxes = lvh_message_boxes();
    if (boxes) why() << boxes << " message boxes were shown";
    end_check("release");

    lvh_stop();
}

}  // namespace

extern "C" void __cdecl lightvol_msvc_host_start() {
    run();
    Text line;
    line << g_passed << " passed, " << g_failed << " failed";
    line.write_line();
    ExitProcess(g_failed == 0 && g_passed > 0 ? 0 : 1);
}
