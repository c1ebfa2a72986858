// A whole host session, run once for every fallible device call it makes with
// that one call refused: the module must survive each refusal, report exactly
// the refused creations, give the host back its render target, depth surface
// and viewport after every frame, and leave nothing alive after release.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device/light_program_code.h"
#include "robustness/invariants.h"

namespace {

using lightvol_sw::SoftwareDevice;
using namespace robustness;

constexpr HRESULT kRefused = E_FAIL;
// What a D3DX without techniques says about the light effect.
const char kNoTechniques[] = "memory(30,1): error: syntax error, unexpected KW_TECHNIQUE";
// The host's own viewport, which every frame must leave as it found it.
constexpr D3DVIEWPORT9 kHostViewport{3, 5, 40, 50, 0.25f, 0.75f};

struct Frame {
    Vec3 focus;
    float movement[2];
    Vec3 lo;
    Vec3 hi;
};

// The HRESULT calls a step of the script made: numbers first + 1 .. last.
struct Window {
    std::string step;
    int first;
    int last;
};

// A host driving one lighting system on a fresh device through the public
// interface, checking the module after each of its calls.
class HostSession {
public:
    // fail_at > 0 refuses that HRESULT call of the session. With programs the
    // device's D3DX cannot compile the effect, so the module draws through its
    // built-in shaders.
    explicit HostSession(int fail_at = 0, bool programs = false) {
        lightvol_sw::clear_message_boxes();
        callback_target() = &dev;
        dev.SetViewport(&kHostViewport);
        device_refs = SoftwareDevice::ref_count(&dev);
        // The host's own shaders and constants, which every frame must keep.
        dev.CreateVertexShader(light_vertex_program, &host_vs);
        dev.CreatePixelShader(light_pixel_program, &host_ps);
        dev.SetVertexShader(host_vs);
        dev.SetPixelShader(host_ps);
        float constants[256][4];
        for (int r = 0; r < 256; ++r)
            for (int c = 0; c < 4; ++c) constants[r][c] = float(r) + float(c) / 4;
        dev.SetVertexShaderConstantF(0, constants[0], 256);
        if (programs) {
            dev.fail_effect_creation(0, D3DXERR_INVALIDDATA, kNoTechniques);
            compiler_text = kNoTechniques;
        }
        if (fail_at > 0) dev.fail_nth_hresult_call(fail_at, kRefused);
    }
    ~HostSession() {
        callback_target() = nullptr;
        g_device = nullptr;
        lightvol_sw::clear_message_boxes();
    }

    void run_script() {
        step("create_ILightingSystem", [&] { sys = create_ILightingSystem(); });
        step("init", [&] { sys->init(&dev, host_set_render_state); });
        step("set_volume(8, 4, 3, 1)", [&] { sys->set_volume(8, 4, 3, 1.0f); });
        step("set_base_layer(0)", [&] { sys->set_base_layer(0); });
        step("lights", [&] {
            add_light({2, 2, 1}, 1.5f, {1, 0.5f, 0.25f});
            add_light({6, 1, 0}, 2, {0, 1, 0});
            add_light({4, 3, 2}, 1, {0, 0, 1});
            add_light({100, 100, 0}, 1, {1, 1, 1});  // culled
            IPointLight* pinned = add_light({-50, 2, 1}, 1, {0.5f, 0.5f, 0.5f});
            pinned->set_auto_cull(false);
            pinned->set_visible(true);
        });
        render("render 1", {{4, 2, 0}, {1, 1}, {0, 0, 0}, {8, 4, 0}});
        render("render 2", {{4.5f, 2, 0}, {-1, 1}, {0.5f, 0, 0}, {8.5f, 4, 0}});
        step("on_lost_device", [&] { sys->on_lost_device(); });
        step("on_reset_device", [&] { sys->on_reset_device(); });
        step("set_volume(6, 5, 2, 1)", [&] { sys->set_volume(6, 5, 2, 1.0f); });
        render("render 3", {{3, 2.5f, 0}, {1, 1}, {0, 0, 0}, {6, 5, 0}});
        if (IDirect3DTexture9* texture = sys->get_light_map()->texture)
            final_light_map = SoftwareDevice::read_pixels(texture);
        step("release", [&] {
            sys->release();
            sys = nullptr;
        });
        dev.SetVertexShader(nullptr);
        dev.SetPixelShader(nullptr);
        if (host_vs) host_vs->Release();
        if (host_ps) host_ps->Release();
        host_vs = nullptr;
        host_ps = nullptr;
        note("release", check_released(dev, device_refs));
        note("messages", check_message_boxes(0, compiler_text));
    }

    // The step that made HRESULT call n, or -1.
    int step_of(int n) const {
        for (size_t i = 0; i < windows.size(); ++i)
            if (n > windows[i].first && n <= windows[i].last) return static_cast<int>(i);
        return -1;
    }
    int step_index(const std::string& name) const {
        for (size_t i = 0; i < windows.size(); ++i)
            if (windows[i].step == name) return static_cast<int>(i);
        return -1;
    }

    SoftwareDevice dev{64, 64};
    // The compiler's text of a refused effect, when the device hands one back.
    std::string compiler_text;
    ULONG device_refs = 0;
    ILightingSystem* sys = nullptr;
    std::vector<Window> windows;
    std::vector<std::string> violations;
    std::vector<uint32_t> final_light_map;
    IDirect3DVertexShader9* host_vs = nullptr;
    IDirect3DPixelShader9* host_ps = nullptr;

private:
    void note(const std::string& where, const std::string& problem) {
        if (!problem.empty()) violations.push_back(where + ": " + problem);
    }

    void step(const std::string& name, const std::function<void()>& call) {
        const int first = dev.hresult_call_count();
        call();
        windows.push_back({name, first, dev.hresult_call_count()});
        if (dev.over_releases() != 0) note(name, "a dead object was released");
        if (sys) note(name, check_system(sys));
    }

    void render(const std::string& name, const Frame& f) {
        const HostSnapshot before = capture_host_state(dev);
        dev.BeginScene();
        step(name, [&] { sys->render(&f.focus, f.movement, &f.lo, &f.hi); });
        dev.EndScene();
        note(name, compare_host_state(before, capture_host_state(dev)));
    }

    IPointLight* add_light(Vec3 position, float radius, Vec3 color) {
        IPointLight* light = sys->create_point_light();
        light->set_position(&position);
        light->set_radius(radius);
        light->set_color(&color);
        return light;
    }
};

// The first call the device reports as failed: with one refusal injected into
// an otherwise clean session, the refused call itself.
std::string first_failed_call(const SoftwareDevice& dev) {
    for (const std::string& call : dev.calls())
        if (call.find(" -> FAILED") != std::string::npos) return call;
    return std::string();
}

// The call refused by the sweep; with programs the effect's refusal, which
// every session shares, is passed over.
std::string refused_call(const SoftwareDevice& dev, bool programs) {
    for (const std::string& call : dev.calls())
        if (call.find(" -> FAILED") != std::string::npos &&
            !(programs && call == "D3DXCreateEffect(816,2048) -> FAILED"))
            return call;
    return std::string();
}

bool starts_with(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// What the user must be shown when `call` is refused: the three reported
// creations name their request, anything else is silent. Sizes must be one of
// the script's two light maps.
std::vector<std::string> expected_messages(const std::string& call, bool programs,
                                           std::string* problem) {
    unsigned w = 0, h = 0;
    char text[96];
    if (std::sscanf(call.c_str(), "CreateTexture(%u,%u,1,1,22,0)", &w, &h) == 2 ||
        std::sscanf(call.c_str(), "CreateDepthStencilSurface(%u,%u,77,0,0,1)", &w, &h) == 2) {
        if (!((w == 24 && h == 4) || (w == 12 && h == 5)))
            *problem = "target of unexpected size " + call;
        const bool texture = starts_with(call, "CreateTexture");
        std::snprintf(text, sizeof text, "w:%u, h:%u, fmt:%d, type:%d", w, h, texture ? 22 : 77,
                      texture ? 1 : 0);
        return {text};
    }
    if (starts_with(call, "CreateVertexBuffer(7200,0,0,1)"))
        return {"D3D9RenderEngine::create_vertex_buffer(Length:7200, Usage:0, Pool:1)"};
    // A refused effect falls back to the built-in shaders; refused shaders
    // matter only when the effect was refused as well, and then show the
    // compiler's text.
    if (programs && (starts_with(call, "CreateVertexShader(vs_2_0)") ||
                     starts_with(call, "CreatePixelShader(ps_2_0)")))
        return {kNoTechniques};
    return {};
}

// Refusals after which no later frame can draw: the light mesh, its
// declaration and the effect are made once, by init.
bool lasts_the_session(const std::string& call) {
    return starts_with(call, "CreateVertexDeclaration") ||
           starts_with(call, "CreateVertexBuffer") ||
           starts_with(call, "IDirect3DVertexBuffer9::Lock") ||
           starts_with(call, "D3DXCreateEffect") || starts_with(call, "CreateVertexShader") ||
           starts_with(call, "CreatePixelShader");
}

std::vector<std::string> message_texts() {
    std::vector<std::string> out;
    for (const auto& box : lightvol_sw::message_boxes()) out.push_back(box.text);
    return out;
}

std::string joined(const std::vector<std::string>& lines, size_t limit) {
    std::string out;
    for (size_t i = 0; i < lines.size() && i < limit; ++i) out += lines[i] + "\n";
    if (lines.size() > limit) out += "... " + std::to_string(lines.size() - limit) + " more\n";
    return out;
}

class FaultSweep : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Paths, FaultSweep, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "BuiltInShaders" : "Effect");
                         });

TEST_P(FaultSweep, EverySessionCallRefusedInTurn) {
    const bool programs = GetParam();
    std::vector<Window> windows;
    std::vector<uint32_t> clean_map;
    {
        HostSession clean(0, programs);
        clean.run_script();
        ASSERT_TRUE(clean.violations.empty()) << joined(clean.violations, 20);
        ASSERT_EQ(first_failed_call(clean.dev),
                  programs ? "D3DXCreateEffect(816,2048) -> FAILED" : "");
        ASSERT_TRUE(lightvol_sw::message_boxes().empty());
        windows = clean.windows;
        clean_map = clean.final_light_map;
    }
    ASSERT_EQ(clean_map.size(), 12u * 5u);
    size_t lit = 0;
    for (uint32_t texel : clean_map) lit += (texel & 0xFFFFFFu) != 0;
    ASSERT_GT(lit, 0u) << "the clean session draws nothing";

    std::vector<std::string> problems;
    size_t swept = 0;
    for (const Window& window : windows) {
        for (int n = window.first + 1; n <= window.last; ++n) {
            HostSession session(n, programs);
            session.run_script();
            ++swept;
            const std::string call = refused_call(session.dev, programs);
            const std::string where = "call " + std::to_string(n) + " in " + window.step + " (" +
                                      (call.empty() ? "?" : call) + "): ";
            // In the sweep with programs one call is the effect's own refusal.
            if (programs && call.empty() &&
                first_failed_call(session.dev) == "D3DXCreateEffect(816,2048) -> FAILED")
                continue;
            for (std::string v : session.violations) {
                // The effect restores the host's shaders in End; when End itself
                // is refused that is beyond the module.
                if (starts_with(call, "ID3DXEffect::End()")) {
                    for (const char* phrase : {"vertex shader changed; ", "pixel shader changed; ",
                                               "shader references changed; "})
                        if (v.find(phrase) != std::string::npos)
                            v.erase(v.find(phrase), std::strlen(phrase));
                    if (v.back() == ' ') continue;  // only the step's name is left
                }
                problems.push_back(where + v);
            }
            if (call.empty()) {
                problems.push_back(where + "the refused call was not found");
                continue;
            }
            if (session.step_of(n) != session.step_index(window.step))
                problems.push_back(where + "the session took another course before the refusal");

            std::string problem;
            const std::vector<std::string> expected = expected_messages(call, programs, &problem);
            if (!problem.empty()) problems.push_back(where + problem);
            if (message_texts() != expected)
                problems.push_back(where + "messages [" + joined(message_texts(), 5) +
                                   "], expected [" + joined(expected, 5) + "]");

            // A refusal before the last set_volume costs at most the frames it
            // touched, unless it took away something only init makes.
            const bool before_last_volume =
                session.step_index(window.step) < session.step_index("set_volume(6, 5, 2, 1)");
            if (before_last_volume && !lasts_the_session(call) &&
                session.final_light_map != clean_map)
                problems.push_back(where + "the last frame differs from the clean session's");
        }
    }
    std::printf("fault points swept: %zu\n", swept);
    EXPECT_GT(swept, 100u);
    EXPECT_TRUE(problems.empty()) << problems.size() << " problems:\n" << joined(problems, 40);
}

TEST(FaultSweepText, RefusedEffectAndShadersShowTheCompilerText) {
    const char* text = "effect(18): error X3004: undeclared identifier 'light_inf'";
    HostSession session;
    session.dev.fail_effect_creation(1, D3DXERR_INVALIDDATA, text);
    session.dev.fail("CreateVertexShader", 2, D3DERR_INVALIDCALL);
    session.compiler_text = text;
    session.run_script();
    EXPECT_TRUE(session.violations.empty()) << joined(session.violations, 20);
    ASSERT_EQ(lightvol_sw::message_boxes().size(), 1u);
    EXPECT_EQ(lightvol_sw::message_boxes()[0].text, text);
    EXPECT_EQ(lightvol_sw::message_boxes()[0].caption, "error");
    EXPECT_EQ(lightvol_sw::message_boxes()[0].flags, MB_OK);
    // Without an effect nothing is drawn, but every frame still clears.
    EXPECT_EQ(session.dev.draw_calls(), 0u);
    EXPECT_EQ(session.final_light_map, std::vector<uint32_t>(12 * 5, 0xFF000000u));
}

}  // namespace
