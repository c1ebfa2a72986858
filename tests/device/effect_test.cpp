#include "device/effect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <iterator>
#include <string>
#include <vector>

#include "device/light_effect_source.h"
#include "device/light_program_code.h"
#include "support/device_fixture.h"
#include "wine/effect_provider/light_effect_shaders.h"

namespace {

using test_support::calls_starting;
using test_support::DeviceTest;
using test_support::message_texts;

TEST(LightEffectSource, ExactShape) {
    const std::string text(light_effect_source);
    EXPECT_EQ(text.size(), 816u);
    EXPECT_EQ(light_effect_source_length, 816u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 36);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.back(), '}');
    size_t start = 0;
    for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
        EXPECT_EQ(text[nl - 1], ' ') << "line ending at " << nl;
        start = nl + 1;
    }
    EXPECT_EQ(text.compare(0, 23, "#define BATCH_NUM 100 \n"), 0);
    EXPECT_NE(text.find("\t\tPixelShader  = compile ps_2_0 PS();"), std::string::npos);
    EXPECT_NE(text.find("\treturn input.color * (1 - length(input.info));"), std::string::npos);
}

// The assembly text in the comment above one of the bytecode arrays of
// device/light_program_code.cpp, one instruction per line.
std::string program_comment(const std::string& source, const std::string& version) {
    std::istringstream lines(source);
    std::string line, text;
    bool inside = false;
    while (std::getline(lines, line)) {
        if (line == "// " + version) inside = true;
        if (!inside) continue;
        if (line.compare(0, 3, "// ") != 0) break;
        text += line.substr(3) + "\n";
    }
    return text;
}

// The text the Wine tier assembles and compares with the built-in bytecode is
// the text that stands beside that bytecode; its version and end tokens frame
// the arrays.
TEST(LightProgramCode, AssemblyTextBesideTheBytecodeIsTheOneAssembledInTheWineTier) {
    std::ifstream file(LIGHTVOL_SOURCE_DIR "/device/light_program_code.cpp");
    ASSERT_TRUE(file) << "cannot read device/light_program_code.cpp";
    std::stringstream source;
    source << file.rdbuf();
    EXPECT_EQ(program_comment(source.str(), "vs_2_0"), provider::light_vertex_shader_asm);
    EXPECT_EQ(program_comment(source.str(), "ps_2_0"), provider::light_pixel_shader_asm);
    EXPECT_EQ(light_vertex_program[0], 0xFFFE0200u);
    EXPECT_EQ(light_pixel_program[0], 0xFFFF0200u);
    EXPECT_EQ(light_vertex_program[light_vertex_program_tokens - 1], 0x0000FFFFu);
    EXPECT_EQ(light_pixel_program[light_pixel_program_tokens - 1], 0x0000FFFFu);
    EXPECT_EQ(provider::light_info_register, light_info_register);
    EXPECT_EQ(provider::light_color_register, light_color_register);
    EXPECT_EQ(provider::world2scr_register, light_world2scr_register);
}

class Effects : public DeviceTest {};

TEST_F(Effects, CompilesTheLightEffectWithItsLength) {
    {
        Effect effect;
        effect.compile(light_effect_source);
        ASSERT_NE(effect.compiled_effect, nullptr);
        EXPECT_EQ(calls_starting(dev, "D3DXCreateEffect"),
                  (std::vector<std::string>{"D3DXCreateEffect(816,2048)"}));
        EXPECT_TRUE(lightvol_sw::message_boxes().empty());
        // A null text keeps the effect.
        ID3DXEffect* compiled = effect.compiled_effect;
        effect.compile(nullptr);
        EXPECT_EQ(effect.compiled_effect, compiled);
        dev.clear_calls();
        effect.on_lost_device();
        effect.on_reset_device();
        EXPECT_EQ(dev.calls(), (std::vector<std::string>{"ID3DXEffect::OnLostDevice()",
                                                         "ID3DXEffect::OnResetDevice()"}));
    }
}

TEST_F(Effects, FailureShowsTheCompilerTextOrUnknow) {
    Effect effect;
    effect.compile("float4 broken(");
    EXPECT_EQ(effect.compiled_effect, nullptr);
    ASSERT_EQ(lightvol_sw::message_boxes().size(), 1u);
    EXPECT_EQ(lightvol_sw::message_boxes()[0].caption, "error");
    EXPECT_NE(lightvol_sw::message_boxes()[0].text.find("effect(1)"), std::string::npos);

    // The light effect shows its box only when its built-in shaders are
    // refused as well.
    dev.fail("CreateVertexShader", 0, D3DERR_INVALIDCALL);
    dev.fail_effect_creation(0, E_FAIL, nullptr);
    effect.compile(light_effect_source);
    dev.clear_failures();
    dev.fail("CreatePixelShader", 0, D3DERR_INVALIDCALL);
    dev.fail_effect_creation(0, E_FAIL, "memory(3,1): error X3000: syntax error");
    effect.compile(light_effect_source);
    EXPECT_EQ(message_texts()[1], "unknow");
    EXPECT_EQ(message_texts()[2], "memory(3,1): error X3000: syntax error");
    EXPECT_EQ(effect.compiled_effect, nullptr);
    EXPECT_FALSE(effect.can_draw());
    dev.clear_calls();
    effect.on_lost_device();
    effect.on_reset_device();
    EXPECT_TRUE(dev.calls().empty());
}

TEST_F(Effects, RefusedLightEffectFallsBackToItsBuiltInShaders) {
    dev.fail_effect_creation(0, E_FAIL, "memory(30,1): error X3000: unexpected technique");
    {
        Effect effect;
        effect.compile(light_effect_source);
        EXPECT_EQ(effect.compiled_effect, nullptr);
        EXPECT_TRUE(effect.can_draw());
        EXPECT_TRUE(lightvol_sw::message_boxes().empty());
        EXPECT_EQ(
            calls_starting(dev, "Create"),
            (std::vector<std::string>{"CreateVertexShader(vs_2_0)", "CreatePixelShader(ps_2_0)"}));
        // Shaders survive a reset: loss and reset make no call.
        dev.clear_calls();
        effect.on_lost_device();
        effect.on_reset_device();
        EXPECT_TRUE(dev.calls().empty());
        EXPECT_EQ(dev.live_object_count(), 2u);
    }
    // A refused pixel shader gives back the vertex shader and shows the box.
    dev.fail("CreatePixelShader", 0, D3DERR_INVALIDCALL);
    Effect effect;
    effect.compile(light_effect_source);
    EXPECT_FALSE(effect.can_draw());
    EXPECT_EQ(message_texts(),
              (std::vector<std::string>{"memory(30,1): error X3000: unexpected technique"}));
    EXPECT_EQ(dev.live_object_count(), 0u);
}

TEST_F(Effects, UnknownShaderEntryFailsLikeACompiler) {
    dev.unregister_shader("PS");
    dev.fail("CreateVertexShader", 0, D3DERR_INVALIDCALL);
    Effect effect;
    effect.compile(light_effect_source);
    EXPECT_EQ(effect.compiled_effect, nullptr);
    ASSERT_EQ(lightvol_sw::message_boxes().size(), 1u);
    EXPECT_NE(lightvol_sw::message_boxes()[0].text.find("PS"), std::string::npos);
}

}  // namespace
