// D3DXCreateEffect and ID3DXEffect on the software device.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/software/software_device.h"

#include "device/light_effect_source.h"

using lightvol_sw::SoftwareDevice;

namespace {

using Calls = std::vector<std::string>;

// The light effect as the module carries it.
const char kLightEffect[] =
    "#define BATCH_NUM 100 \n"
    "float3 light_info[BATCH_NUM]; \n"
    "float3 light_color[BATCH_NUM]; \n"
    "float4 world2scr; \n"
    "struct VSInput \n"
    "{ \n"
    "\tfloat3 pos : POSITION; \n"
    "}; \n"
    "struct VSOutput \n"
    "{ \n"
    "\tfloat4 pos : POSITION; \n"
    "\tfloat4 color : TEXCOORD0; \n"
    "\tfloat2 info : TEXCOORD1; \n"
    "}; \n"
    "VSOutput VS(VSInput input) \n"
    "{ \n"
    "\tVSOutput output; \n"
    "\tfloat3 info = light_info[input.pos.z]; \n"
    "\tfloat2 world_pos = input.pos.xy * info.x + info.yz; \n"
    "\tfloat2 scr_pos = (world_pos - world2scr.xy) * world2scr.zw; \n"
    "\toutput.pos = float4(scr_pos, 0.5, 1); \n"
    "\toutput.color = float4(light_color[input.pos.z], 1); \n"
    "\toutput.info = input.pos.xy; \n"
    "\treturn output; \n"
    "} \n"
    "float4 PS(VSOutput input) : COLOR \n"
    "{ \n"
    "\treturn input.color * (1 - length(input.info)); \n"
    "} \n"
    "technique Render \n"
    "{ \n"
    "\tpass P0 \n"
    "\t{ \n"
    "\t\tVertexShader = compile vs_2_0 VS(); \n"
    "\t\tPixelShader  = compile ps_2_0 PS(); \n"
    "\t} \n"
    "}";

struct Compiled {
    HRESULT hr;
    ID3DXEffect* effect;
    std::string errors;  // empty when no buffer came back
};

Compiled compile(SoftwareDevice& dev, const std::string& text) {
    Compiled out{E_FAIL, nullptr, ""};
    ID3DXBuffer* errors = nullptr;
    out.hr = D3DXCreateEffect(&dev, text.data(), static_cast<UINT>(text.size()), nullptr, nullptr,
                              D3DXFX_NOT_CLONEABLE, nullptr, &out.effect, &errors);
    if (errors) {
        out.errors = static_cast<const char*>(errors->GetBufferPointer());
        errors->Release();
    }
    return out;
}

std::string with_line_replaced(const std::string& text, int line, const std::string& by) {
    size_t begin = 0;
    for (int i = 1; i < line; ++i) begin = text.find('\n', begin) + 1;
    const size_t end = text.find('\n', begin);
    return text.substr(0, begin) + by + text.substr(end);
}

}  // namespace

TEST(SwDeviceEffect, CompilesTheLightEffect) {
    ASSERT_EQ(sizeof kLightEffect - 1, 816u);
    SoftwareDevice dev;
    ID3DXEffect* fx = nullptr;
    ID3DXBuffer* errors = reinterpret_cast<ID3DXBuffer*>(&dev);
    ASSERT_EQ(D3DXCreateEffect(&dev, kLightEffect, 816, nullptr, nullptr, D3DXFX_NOT_CLONEABLE,
                               nullptr, &fx, &errors),
              S_OK);
    ASSERT_NE(fx, nullptr);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(dev.calls(), Calls{"D3DXCreateEffect(816,2048)"});
    EXPECT_EQ(dev.live_objects(), Calls{"Effect#1"});
    // A D3DXFX_NOT_CLONEABLE effect keeps no shader functions to describe.
    D3DXPASS_DESC desc{};
    ASSERT_EQ(fx->GetPassDesc(fx->GetPass("Render", 0), &desc), S_OK);
    EXPECT_EQ(desc.pVertexShaderFunction, nullptr);
    EXPECT_EQ(desc.pPixelShaderFunction, nullptr);
    ID3DXEffect* cloneable = nullptr;
    ASSERT_EQ(D3DXCreateEffect(&dev, kLightEffect, 816, nullptr, nullptr, 0, nullptr, &cloneable,
                               nullptr),
              S_OK);
    ASSERT_EQ(cloneable->GetPassDesc(cloneable->GetPass("Render", 0), &desc), S_OK);
    EXPECT_NE(desc.pVertexShaderFunction, nullptr);
    EXPECT_NE(desc.pPixelShaderFunction, nullptr);
    cloneable->Release();
    EXPECT_EQ(SoftwareDevice::ref_count(&dev), 2u);

    EXPECT_EQ(SoftwareDevice::effect_parameter(fx, "light_info").size(), 300u);
    EXPECT_EQ(SoftwareDevice::effect_parameter(fx, "light_color").size(), 300u);
    EXPECT_EQ(SoftwareDevice::effect_parameter(fx, "world2scr").size(), 4u);
    EXPECT_TRUE(SoftwareDevice::effect_parameter(fx, "BATCH_NUM").empty());
    EXPECT_EQ(fx->Release(), 0u);
    EXPECT_EQ(SoftwareDevice::ref_count(&dev), 1u);

    EXPECT_EQ(std::string(light_effect_source, light_effect_source_length),
              std::string(kLightEffect));
}

TEST(SwDeviceEffect, ParametersTechniquesAndPasses) {
    SoftwareDevice dev;
    ID3DXEffect* fx = compile(dev, kLightEffect).effect;
    ASSERT_NE(fx, nullptr);
    dev.clear_calls();

    const float w2s[4] = {1, 2, 0.5f, 0.25f};
    EXPECT_EQ(fx->SetFloatArray("world2scr", w2s, 4), S_OK);
    EXPECT_EQ(SoftwareDevice::effect_parameter(fx, "world2scr"),
              (std::vector<float>{1, 2, 0.5f, 0.25f}));
    std::vector<float> many(301, 7.0f);
    EXPECT_EQ(fx->SetFloatArray("light_info", many.data(), 300), S_OK);
    EXPECT_EQ(fx->SetFloatArray("light_color", many.data(), 3), S_OK);
    // Too many floats or an unknown name: nothing is stored.
    EXPECT_EQ(fx->SetFloatArray("world2scr", many.data(), 5), D3DERR_INVALIDCALL);
    EXPECT_EQ(SoftwareDevice::effect_parameter(fx, "world2scr")[0], 1.0f);
    EXPECT_EQ(fx->SetFloatArray("light_info", many.data(), 301), D3DERR_INVALIDCALL);
    EXPECT_EQ(fx->SetFloatArray("lightinfo", many.data(), 3), D3DERR_INVALIDCALL);

    EXPECT_EQ(fx->SetTechnique("render"), D3DERR_INVALIDCALL);
    EXPECT_EQ(fx->SetTechnique("Render"), S_OK);
    UINT passes = 99;
    EXPECT_EQ(fx->EndPass(), D3DERR_INVALIDCALL);
    ASSERT_EQ(fx->Begin(&passes, 0), S_OK);
    EXPECT_EQ(passes, 1u);
    EXPECT_EQ(fx->Begin(&passes, 0), D3DERR_INVALIDCALL);
    EXPECT_EQ(fx->BeginPass(1), D3DERR_INVALIDCALL);
    ASSERT_EQ(fx->BeginPass(0), S_OK);
    EXPECT_EQ(fx->CommitChanges(), S_OK);
    EXPECT_EQ(fx->EndPass(), S_OK);
    EXPECT_EQ(fx->End(), S_OK);
    EXPECT_EQ(fx->End(), D3DERR_INVALIDCALL);
    EXPECT_EQ(fx->OnLostDevice(), S_OK);
    EXPECT_EQ(fx->OnResetDevice(), S_OK);

    const Calls expected = {
        "ID3DXEffect::SetFloatArray(world2scr,4)",
        "ID3DXEffect::SetFloatArray(light_info,300)",
        "ID3DXEffect::SetFloatArray(light_color,3)",
        "ID3DXEffect::SetFloatArray(world2scr,5) -> FAILED",
        "ID3DXEffect::SetFloatArray(light_info,301) -> FAILED",
        "ID3DXEffect::SetFloatArray(lightinfo,3) -> FAILED",
        "ID3DXEffect::SetTechnique(render) -> FAILED",
        "ID3DXEffect::SetTechnique(Render)",
        "ID3DXEffect::EndPass() -> FAILED",
        "ID3DXEffect::Begin(0)",
        "ID3DXEffect::Begin(0) -> FAILED",
        "ID3DXEffect::BeginPass(1) -> FAILED",
        "ID3DXEffect::BeginPass(0)",
        "ID3DXEffect::CommitChanges()",
        "ID3DXEffect::EndPass()",
        "ID3DXEffect::End()",
        "ID3DXEffect::End() -> FAILED",
        "ID3DXEffect::OnLostDevice()",
        "ID3DXEffect::OnResetDevice()",
    };
    EXPECT_EQ(dev.calls(), expected);
    fx->Release();
    EXPECT_EQ(dev.live_object_count(), 0u);
}

TEST(SwDeviceEffect, CompileErrorsNameTheLine) {
    SoftwareDevice dev;
    const std::string light(kLightEffect);
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {with_line_replaced(light, 4, "float4 world2scr "), "effect(5): error: syntax error"},
        {with_line_replaced(light, 1, "#define BATCH_NUM count "),
         "effect(2): error: array size must be a positive integer literal"},
        {with_line_replaced(light, 3, "float3 light_info[4]; "),
         "effect(3): error: redefinition of 'light_info'"},
        {with_line_replaced(light, 4, "sampler3 world2scr; "),
         "effect(4): error: unrecognized identifier 'sampler3'"},
        {with_line_replaced(light, 34, "\t\tVertexShader = compile vs_2_0 VSMain(); "),
         "effect(34): error: entry point 'VSMain' is not defined"},
        {with_line_replaced(light, 35, "\t\tPixelShader  = compile vs_2_0 PS(); "),
         "effect(35): error: 'vs_2_0' is not a pixel shader profile"},
        {with_line_replaced(light, 1, "#include \"light.fxh\" "),
         "effect(1): error: unsupported preprocessor directive '#include'"},
        {light.substr(0, light.size() - 1), "effect(36): error: unexpected end of file"},
        {"float4 k;\n/* open\ncomment", "effect(2): error: unterminated comment"},
    };
    for (const Case& c : cases) {
        const Compiled r = compile(dev, c.text);
        EXPECT_EQ(r.hr, D3DXERR_INVALIDDATA) << c.message;
        EXPECT_EQ(r.effect, nullptr);
        EXPECT_EQ(r.errors.compare(0, c.message.size(), c.message), 0)
            << "got: " << r.errors << "\nwanted: " << c.message;
    }
    EXPECT_EQ(dev.live_object_count(), 0u);
    EXPECT_EQ(SoftwareDevice::ref_count(&dev), 1u);
}

TEST(SwDeviceEffect, EntriesMustHaveRegisteredShaders) {
    SoftwareDevice dev;
    dev.unregister_shader("PS");
    const Compiled r = compile(dev, kLightEffect);
    EXPECT_EQ(r.hr, D3DXERR_INVALIDDATA);
    EXPECT_EQ(r.errors, "effect(35): error: no pixel shader implementation for entry point 'PS'");
    dev.register_pixel_shader("PS", lightvol_sw::make_light_pixel_shader());
    const Compiled ok = compile(dev, kLightEffect);
    ASSERT_EQ(ok.hr, S_OK);
    ok.effect->Release();

    // Without an error pointer the failure still comes back.
    dev.unregister_shader("VS");
    ID3DXEffect* fx = nullptr;
    EXPECT_EQ(D3DXCreateEffect(&dev, kLightEffect, 816, nullptr, nullptr, 0, nullptr, &fx, nullptr),
              D3DXERR_INVALIDDATA);
    EXPECT_EQ(dev.live_object_count(), 0u);
}

TEST(SwDeviceEffect, AcceptsCommentsDefinesAndTextWithoutTerminator) {
    SoftwareDevice dev;
    const std::string text =
        "// lights\n#define N 2\n#define SIZE N\n"
        "/* two\n lines */ uniform float4x4 m; float k[SIZE] = {1, 2}; static const float s = 2;\n"
        "float4 VS(float3 p : POSITION) : POSITION { return float4(p, 1); }\n"
        "float4 PS() : COLOR { return 0; }\n"
        "technique A { pass { ZEnable = false; VertexShader = compile vs_2_0 VS(); "
        "PixelShader = compile ps_2_0 PS(); } }\n"
        "technique B { pass X { } pass Y { } }XYZ";
    // The length excludes the trailing garbage: the text has no NUL.
    const std::string body = text.substr(0, text.size() - 3);
    ID3DXEffect* fx = nullptr;
    ASSERT_EQ(D3DXCreateEffect(&dev, body.data(), static_cast<UINT>(body.size()), nullptr, nullptr,
                               0, nullptr, &fx, nullptr),
              S_OK);
    EXPECT_EQ(SoftwareDevice::effect_parameter(fx, "m").size(), 16u);
    EXPECT_EQ(SoftwareDevice::effect_parameter(fx, "k").size(), 2u);
    EXPECT_TRUE(SoftwareDevice::effect_parameter(fx, "s").empty());
    UINT passes = 0;
    fx->SetTechnique("B");
    fx->Begin(&passes, 0);
    EXPECT_EQ(passes, 2u);
    fx->End();
    fx->Release();

    const D3DXMACRO macros[] = {{"COUNT", "3"}, {nullptr, nullptr}};
    const char with_macro[] = "float3 a[COUNT];";
    ASSERT_EQ(D3DXCreateEffect(&dev, with_macro, sizeof with_macro - 1, macros, nullptr, 0, nullptr,
                               &fx, nullptr),
              S_OK);
    EXPECT_EQ(SoftwareDevice::effect_parameter(fx, "a").size(), 9u);
    fx->Release();
}

TEST(SwDeviceEffect, InjectedCreationFailures) {
    SoftwareDevice dev;
    dev.fail_effect_creation(1, E_FAIL, "effect(3): error: injected");
    dev.fail_effect_creation(2, D3DERR_OUTOFVIDEOMEMORY, nullptr);
    const Compiled first = compile(dev, kLightEffect);
    EXPECT_EQ(first.hr, E_FAIL);
    EXPECT_EQ(first.effect, nullptr);
    EXPECT_EQ(first.errors, "effect(3): error: injected");
    const Compiled second = compile(dev, kLightEffect);
    EXPECT_EQ(second.hr, D3DERR_OUTOFVIDEOMEMORY);
    EXPECT_EQ(second.errors, "");
    const Compiled third = compile(dev, kLightEffect);
    ASSERT_EQ(third.hr, S_OK);
    third.effect->Release();
    EXPECT_EQ(dev.calls(),
              (Calls{"D3DXCreateEffect(816,2048) -> FAILED", "ID3DXBuffer::GetBufferPointer()",
                     "D3DXCreateEffect(816,2048) -> FAILED", "D3DXCreateEffect(816,2048)"}));

    dev.fail("ID3DXEffect::SetTechnique", 1, E_FAIL);
    const Compiled fx = compile(dev, kLightEffect);
    EXPECT_EQ(fx.effect->SetTechnique("Render"), E_FAIL);
    EXPECT_EQ(fx.effect->SetTechnique("Render"), S_OK);
    fx.effect->Release();
    EXPECT_EQ(dev.live_object_count(), 0u);
    EXPECT_EQ(SoftwareDevice::ref_count(&dev), 1u);
}
