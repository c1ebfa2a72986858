#include "fuzz/call_sequence.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "robustness/invariants.h"

namespace call_sequence {
namespace {

using lightvol_sw::SoftwareDevice;
using namespace robustness;

const int32_t kSizes[] = {0,         1,         -1,           2,     3,     4,   5,    7,
                          8,         16,        31,           64,    100,   255, 256,  257,
                          4096,      8192,      8193,         65536, 46341, -2,  -256, 1 << 30,
                          INT32_MAX, INT32_MIN, INT32_MAX / 3};

const float kFloats[] = {0.0f,
                         -0.0f,
                         1.0f,
                         -1.0f,
                         0.5f,
                         2.0f,
                         3.0f,
                         7.5f,
                         100.0f,
                         -100.0f,
                         1e-3f,
                         0.01f,
                         0.0099999f,
                         std::numeric_limits<float>::quiet_NaN(),
                         -std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::denorm_min(),
                         -std::numeric_limits<float>::denorm_min(),
                         FLT_MIN,
                         FLT_MAX,
                         -FLT_MAX,
                         1e8f,
                         -1e8f,
                         1e20f,
                         16777217.0f,
                         0.1f};

const HRESULT kRefusals[] = {E_FAIL,        D3DERR_INVALIDCALL, D3DERR_OUTOFVIDEOMEMORY,
                             E_OUTOFMEMORY, D3DERR_DEVICELOST,  D3DERR_NOTAVAILABLE};

// Creation calls that may stay refused for a while; refusing the frame's
// getters and setters for good would leave a host nothing to restore with.
const char* const kCreations[] = {"CreateTexture",
                                  "CreateDepthStencilSurface",
                                  "CreateVertexBuffer",
                                  "CreateVertexDeclaration",
                                  "IDirect3DTexture9::GetSurfaceLevel",
                                  "IDirect3DVertexBuffer9::Lock",
                                  "GetViewport",
                                  "GetRenderTarget",
                                  "GetDepthStencilSurface",
                                  "CreateVertexShader",
                                  "CreatePixelShader",
                                  "GetVertexShaderConstantF"};

const char kCompilerText[] = "effect(1): error X3000: syntax error: unexpected token";

template <class T, size_t N>
constexpr size_t count_of(const T (&)[N]) {
    return N;
}

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
        return v;
    }
    bool flag() { return (byte() & 1) != 0; }
    // A size: mostly from the table of interesting values, else any 32 bits.
    int32_t size() {
        const uint8_t pick = byte();
        if (pick & 0x80) return static_cast<int32_t>(word());
        return kSizes[pick % count_of(kSizes)];
    }
    // A float: from the table (NaN, infinities, denormals, ...) or any bits.
    float value() {
        const uint8_t pick = byte();
        if (pick & 0x80) {
            const uint32_t bits = word();
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
        return kFloats[pick % count_of(kFloats)];
    }
    // A float in a small world range, so that lights and volumes meet.
    float coordinate() {
        const uint8_t pick = byte();
        if (pick >= 0xE0) return value();
        return static_cast<float>(pick % 40) * 0.5f - 4.0f;
    }
    Vec3 vec(bool world) {
        Vec3 v;
        v.x = world ? coordinate() : value();
        v.y = world ? coordinate() : value();
        v.z = world ? coordinate() : value();
        return v;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

std::string fmt(float f) {
    char text[48];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(f));
    return text;
}
std::string fmt(const Vec3& v) { return "(" + fmt(v.x) + "," + fmt(v.y) + "," + fmt(v.z) + ")"; }

class Session {
public:
    Session() {
        // No check reads the call log; formatting every call would cost more
        // than the session itself.
        dev.set_recording(false);
        lightvol_sw::clear_message_boxes();
        callback_target() = &dev;
        device_refs = SoftwareDevice::ref_count(&dev);
    }
    ~Session() {
        callback_target() = nullptr;
        g_device = nullptr;
        lightvol_sw::clear_message_boxes();
    }

    std::string run(Reader& in);

private:
    // One interface call, logged; false ends the session (a check failed).
    bool step(Reader& in);
    bool check(const std::string& problem) {
        if (problem.empty()) return true;
        violation = problem;
        return false;
    }
    std::string checks();

    // Host calls neither take nor shift an injected refusal.
    template <class Call>
    void as_host(Call&& call) {
        dev.clear_failures();
        const int before = dev.hresult_call_count();
        call();
        pending_nth += pending_nth > 0 ? dev.hresult_call_count() - before : 0;
        rearm();
    }
    void rearm() {
        for (const auto& rule : rules) dev.fail(rule.first, 0, rule.second);
        if (effect_refused)
            dev.fail_effect_creation(0, D3DXERR_INVALIDDATA, effect_text ? kCompilerText : nullptr);
        if (pending_nth > dev.hresult_call_count())
            dev.fail_nth_hresult_call(pending_nth, pending_hr);
        else
            pending_nth = 0;
    }
    HostSnapshot host_state() {
        HostSnapshot s;
        as_host([&] { s = capture_host_state(dev); });
        return s;
    }
    void note(const std::string& call) {
        history.push_back(call);
        if (history.size() > 48) history.pop_front();
    }
    void make_system() {
        sys = create_ILightingSystem();
        enabled = true;
    }
    void forget_live_lights() {
        for (IPointLight* l : live) stale.push_back(l);
        live.clear();
    }
    size_t find_live(IPointLight* l) const {
        for (size_t i = 0; i < live.size(); ++i)
            if (live[i] == l) return i;
        return live.size();
    }

public:
    SoftwareDevice dev{64, 64};
    bool drawing = false;

private:
    ULONG device_refs = 0;
    ILightingSystem* sys = nullptr;
    bool enabled = true;
    std::vector<IPointLight*> live;
    std::vector<IPointLight*> stale;
    std::vector<std::pair<std::string, HRESULT>> rules;
    bool effect_refused = false;
    bool effect_text = false;
    int pending_nth = 0;
    HRESULT pending_hr = E_FAIL;
    size_t renders = 0;
    size_t boxes_checked = 0;
    std::deque<std::string> history;
    std::string violation;
};

PointLight g_foreign_light;

std::string Session::checks() {
    std::string out;
    if (dev.over_releases() != 0) out += "a dead object was released; ";
    for (const std::string& misuse : dev.misuses()) out += "misuse: " + misuse + "; ";
    if (sys) {
        out += check_system(sys);
        auto* ls = static_cast<LightingSystem*>(sys);
        if (ls->lights.size() != live.size())
            out += "the system holds " + std::to_string(ls->lights.size()) +
                   " lights, the host made " + std::to_string(live.size()) + "; ";
        if (sys->is_enabled() != enabled) out += "is_enabled changed by itself; ";
    }
    out += check_message_boxes(boxes_checked, effect_text ? kCompilerText : "");
    boxes_checked = lightvol_sw::message_boxes().size();
    return out;
}

bool Session::step(Reader& in) {
    const size_t light_cap = drawing ? 64 : 400;
    const size_t render_cap = drawing ? 24 : 64;
    const uint8_t op = in.byte() % 20;
    switch (op) {
        case 0: {  // init
            const uint8_t how = in.byte();
            if (!sys) make_system();
            IDirect3DDevice9* device = (how & 3) == 3 ? nullptr : &dev;
            RenderStateCallback cb = (how & 12) == 12 ? nullptr : host_set_render_state;
            note(std::string("init(") + (device ? "device" : "null") + ", " +
                 (cb ? "callback" : "null") + ")");
            sys->init(device, cb);
            break;
        }
        case 1: {  // create_point_light
            if (!sys) make_system();
            if (live.size() >= light_cap) break;
            note("create_point_light");
            live.push_back(sys->create_point_light());
            break;
        }
        case 2: {  // destroy_point_light: live, stale, null or foreign
            if (!sys) break;
            const uint8_t kind = in.byte();
            const uint8_t index = in.byte();
            IPointLight* target = nullptr;
            switch (kind % 5) {
                case 0:
                    if (!live.empty()) target = live[index % live.size()];
                    break;
                case 1:
                    if (!stale.empty()) target = stale[index % stale.size()];
                    break;
                case 2:
                    break;  // null
                case 3:
                    target = &g_foreign_light;
                    break;
                case 4:  // an address inside a live light
                    if (!live.empty())
                        target = reinterpret_cast<IPointLight*>(
                            reinterpret_cast<char*>(live[index % live.size()]) + 4 + (kind >> 4));
                    break;
            }
            note("destroy_point_light(kind " + std::to_string(kind % 5) + ")");
            sys->destroy_point_light(target);
            const size_t at = find_live(target);
            if (at < live.size()) {
                stale.push_back(live[at]);
                live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
            }
            break;
        }
        case 3: {  // a light's setters, with any values
            if (live.empty()) break;
            IPointLight* l = live[in.byte() % live.size()];
            const uint8_t which = in.byte();
            switch (which % 6) {
                case 0: {
                    const Vec3 c = in.vec(false);
                    note("set_color" + fmt(c));
                    l->set_color((which & 0x80) ? nullptr : &c);
                    break;
                }
                case 1:
                case 5: {
                    const Vec3 p = in.vec(true);
                    note("set_position" + fmt(p));
                    l->set_position((which & 0x80) ? nullptr : &p);
                    break;
                }
                case 2: {
                    const float r = (which & 0x40) ? in.value() : in.coordinate();
                    note("set_radius(" + fmt(r) + ")");
                    l->set_radius(r);
                    break;
                }
                case 3:
                    note("set_visible");
                    l->set_visible(in.flag());
                    break;
                case 4:
                    note("set_auto_cull");
                    l->set_auto_cull(in.flag());
                    break;
            }
            break;
        }
        case 4:
            if (!sys) break;
            note("clear_point_lights");
            sys->clear_point_lights();
            forget_live_lights();
            break;
        case 5:
        case 19: {  // set_volume: anything, or small sizes that can draw
            if (!sys) break;
            int32_t w, h, d;
            float cell;
            if (op == 5) {
                w = in.size();
                h = in.size();
                d = in.size();
                cell = in.value();
            } else {
                w = 1 + in.byte() % 16;
                h = 1 + in.byte() % 16;
                d = 1 + in.byte() % 16;
                cell = (in.byte() & 1) ? 1.0f : in.value();
            }
            note("set_volume(" + std::to_string(w) + "," + std::to_string(h) + "," +
                 std::to_string(d) + "," + fmt(cell) + ")");
            sys->set_volume(w, h, d, cell);
            break;
        }
        case 6: {
            if (!sys) break;
            const int32_t layer = in.size();
            note("set_base_layer(" + std::to_string(layer) + ")");
            sys->set_base_layer(layer);
            break;
        }
        case 7:
            if (!sys) break;
            enabled = in.flag();
            note(enabled ? "set_enabled(true)" : "set_enabled(false)");
            sys->set_enabled(enabled);
            break;
        case 8:
        case 9: {  // render inside the host's scene
            if (!sys || renders >= render_cap) break;
            ++renders;
            const uint8_t shape = in.byte();
            Vec3 focus = in.vec(true);
            float movement[2] = {in.coordinate(), in.coordinate()};
            Vec3 lo, hi;
            if (shape & 1) {
                lo = in.vec(true);
                hi = in.vec(true);
            } else {  // a proper box around the focus
                const float ex = 1.0f + static_cast<float>(in.byte() % 16);
                const float ey = 1.0f + static_cast<float>(in.byte() % 16);
                lo = {focus.x - ex / 2, focus.y - ey / 2, focus.z};
                hi = {focus.x + ex / 2, focus.y + ey / 2, focus.z};
            }
            const bool null_arg = (shape & 0xF0) == 0xF0;
            note("render(" + fmt(focus) + ", (" + fmt(movement[0]) + "," + fmt(movement[1]) +
                 "), " + fmt(lo) + ", " + fmt(hi) + (null_arg ? ", a null argument" : "") + ")");
            const HostSnapshot before = host_state();
            as_host([&] { dev.BeginScene(); });
            sys->render(&focus, movement, null_arg ? nullptr : &lo, &hi);
            as_host([&] { dev.EndScene(); });
            if (!check(compare_host_state(before, host_state()))) return false;
            break;
        }
        case 10:
            if (!sys) break;
            note("on_lost_device");
            sys->on_lost_device();
            break;
        case 11:
            if (!sys) break;
            note("on_reset_device");
            sys->on_reset_device();
            break;
        case 12: {  // one refused call, soon
            const int ahead = 1 + in.byte() % 24;
            pending_hr = kRefusals[in.byte() % count_of(kRefusals)];
            pending_nth = dev.hresult_call_count() + ahead;
            note("refuse the call " + std::to_string(ahead) + " ahead");
            dev.fail_nth_hresult_call(pending_nth, pending_hr);
            break;
        }
        case 13: {  // a creation refused until further notice
            const uint8_t which = in.byte();
            const HRESULT hr = kRefusals[in.byte() % count_of(kRefusals)];
            if (which % (count_of(kCreations) + 1) == count_of(kCreations)) {
                effect_refused = true;
                effect_text = (which & 0x80) != 0;
                note("refuse D3DXCreateEffect");
                dev.clear_failures();  // the new rule replaces an earlier one
                rearm();
            } else {
                const char* name = kCreations[which % (count_of(kCreations) + 1)];
                note(std::string("refuse ") + name);
                rules.emplace_back(name, hr);
                dev.fail(name, 0, hr);
            }
            break;
        }
        case 14:
            note("accept every call again");
            rules.clear();
            effect_refused = false;
            pending_nth = 0;
            dev.clear_failures();
            break;
        case 15: {  // release, then a new system
            if (!sys) break;
            note("release");
            sys->release();
            sys = nullptr;
            forget_live_lights();
            if (!check(check_released(dev, device_refs))) return false;
            make_system();
            break;
        }
        case 16: {  // the host moves its viewport
            D3DVIEWPORT9 v;
            v.X = in.byte() % 32;
            v.Y = in.byte() % 32;
            v.Width = 1 + in.byte() % 32;
            v.Height = 1 + in.byte() % 32;
            v.MinZ = (in.byte() % 5) * 0.25f;
            v.MaxZ = 1.0f;
            note("host SetViewport");
            as_host([&] { dev.SetViewport(&v); });
            break;
        }
        case 17: {  // the host binds its depth surface, or none
            const bool none = in.flag();
            note(none ? "host unbinds its depth surface" : "host binds its depth surface");
            as_host([&] { dev.SetDepthStencilSurface(none ? nullptr : dev.depth_buffer()); });
            break;
        }
        case 18:
            if (!sys) break;
            note("get_light_map, is_enabled");
            (void)sys->get_light_map();
            (void)sys->is_enabled();
            break;
    }
    return check(checks());
}

std::string Session::run(Reader& in) {
    const uint8_t mode = in.byte();
    drawing = (mode & 1) != 0;
    // Drawing sessions rasterize every light, so their light maps stay small.
    dev.set_null_mode(!drawing);
    dev.set_max_texture_size(drawing ? 64 : 256);
    if (mode & 4) {  // a D3DX that cannot compile the effect: the built-in shaders draw
        effect_refused = true;
        effect_text = (mode & 8) != 0;
        rearm();
    }
    if (mode & 2) {  // start as a host usually does
        make_system();
        note("init, set_volume(8, 8, 4, 1), set_base_layer(0)");
        sys->init(&dev, host_set_render_state);
        sys->set_volume(8, 8, 4, 1);
        sys->set_base_layer(0);
    }
    bool ok = check(checks());
    while (ok && !in.empty()) ok = step(in);
    if (ok && sys) {
        note("release");
        sys->release();
        sys = nullptr;
        ok = check(check_released(dev, device_refs));
    }
    if (ok) return std::string();
    std::string report = violation + "\nafter:\n";
    for (const std::string& call : history) report += "  " + call + "\n";
    if (sys) {  // leave nothing behind for the next session
        dev.clear_failures();
        sys->release();
        sys = nullptr;
    }
    return report;
}

}  // namespace

std::string run(const uint8_t* data, size_t size) {
    Reader in(data, size);
    Session session;
    return session.run(in);
}

}  // namespace call_sequence
