/* Compiles docs/sampling.hlsl for shader model 2.0 with D3DCompile from
 * d3dcompiler_47.dll and checks, in D3DDisassemble's listing, that the
 * shaders read the registers the include's macros name.
 *
 * Three small shaders #include "sampling.hlsl" (found by the standard file
 * include, so sampling.hlsl must be in the working directory):
 *   ps_2_0  sample_light(world_pos), world_pos from TEXCOORD0
 *   vs_2_0  light_map_coord(position) into TEXCOORD0
 *   ps_2_0  sample_light_at(t), t from TEXCOORD0
 * each once with the default registers (s4, c20..c23) and once with every
 * register macro defined (s2, c40..c43). For each it prints the result, the
 * bytecode size, the compiler's messages and the disassembly, then whether
 * the expected registers are read and the other set is not.
 *
 * Build:  x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -o sampler_registers.exe sampler_registers.c
 * Run:    tools/shader-compile/run.sh --registers   (under Wine; exits 0 when all pass)
 */
/* d3dcommon.h needs windows.h before it. */
// clang-format off
#include <windows.h>
#include <d3dcommon.h>
// clang-format on
#include <stdio.h>
#include <string.h>

/* From Microsoft's documentation of d3dcompiler_47.dll. */
typedef HRESULT(WINAPI* compile_fn)(LPCVOID src, SIZE_T size, LPCSTR name,
                                    const D3D_SHADER_MACRO* defines, ID3DInclude* include,
                                    LPCSTR entry, LPCSTR target, UINT flags1, UINT flags2,
                                    ID3DBlob** code, ID3DBlob** errors);
typedef HRESULT(WINAPI* disassemble_fn)(LPCVOID src, SIZE_T size, UINT flags, LPCSTR comments,
                                        ID3DBlob** text);
#define STANDARD_FILE_INCLUDE ((ID3DInclude*)(UINT_PTR)1)

struct shader {
    const char *name, *target, *source;
    /* Registers each shader must read: indices into a register set. */
    int reads[5];
};

/* Register set order: sampler, layer_step, origin, scale, map_size. */
static const char* const default_regs[5] = {"s4", "c20", "c21", "c22", "c23"};
static const char* const override_regs[5] = {"s2", "c40", "c41", "c42", "c43"};

static const struct shader shaders[] = {
    {"ps sample_light",
     "ps_2_0",
     "#include \"sampling.hlsl\"\n"
     "float4 main(float3 world_pos : TEXCOORD0) : COLOR\n"
     "{ return float4(sample_light(world_pos), 1.0); }\n",
     {1, 1, 1, 1, 1}},
    {"vs light_map_coord",
     "vs_2_0",
     "#include \"sampling.hlsl\"\n"
     "struct Out { float4 pos : POSITION; float3 t : TEXCOORD0; };\n"
     "Out main(float4 pos : POSITION)\n"
     "{ Out o; o.pos = pos; o.t = light_map_coord(pos.xyz); return o; }\n",
     {0, 0, 1, 1, 0}},
    {"ps sample_light_at",
     "ps_2_0",
     "#include \"sampling.hlsl\"\n"
     "float4 main(float3 t : TEXCOORD0) : COLOR\n"
     "{ return float4(sample_light_at(t), 1.0); }\n",
     {1, 1, 0, 0, 1}},
};

/* Whether the listing names register reg as a whole token (c2 is not c20). */
static int names_register(const char* text, const char* reg) {
    size_t n = strlen(reg);
    for (const char* p = strstr(text, reg); p; p = strstr(p + 1, reg)) {
        char before = p == text ? ' ' : p[-1];
        char after = p[n];
        if (!(before >= 'a' && before <= 'z') && !(before >= '0' && before <= '9') &&
            !(after >= '0' && after <= '9'))
            return 1;
    }
    return 0;
}

static void print_blob(const char* label, ID3DBlob* blob) {
    if (!blob) return;
    const char* text = (const char*)blob->lpVtbl->GetBufferPointer(blob);
    size_t size = blob->lpVtbl->GetBufferSize(blob);
    printf("  %s:\n%.*s\n", label, (int)size, text);
}

int main(void) {
    HMODULE dll = LoadLibraryA("d3dcompiler_47.dll");
    if (!dll) {
        printf("cannot load d3dcompiler_47.dll (error %lu)\n", GetLastError());
        return 2;
    }
    compile_fn compile = (compile_fn)(void (*)(void))GetProcAddress(dll, "D3DCompile");
    disassemble_fn disassemble =
        (disassemble_fn)(void (*)(void))GetProcAddress(dll, "D3DDisassemble");
    if (!compile) {
        printf("d3dcompiler_47.dll has no D3DCompile\n");
        return 2;
    }

    static const D3D_SHADER_MACRO overrides[] = {
        {"LIGHTVOL_SAMPLER_REGISTER", "s2"},   {"LIGHTVOL_LAYER_STEP_REGISTER", "c40"},
        {"LIGHTVOL_ORIGIN_REGISTER", "c41"},   {"LIGHTVOL_SCALE_REGISTER", "c42"},
        {"LIGHTVOL_MAP_SIZE_REGISTER", "c43"}, {NULL, NULL},
    };
    int failures = 0;
    for (int set = 0; set < 2; ++set) {
        const char* const* want = set ? override_regs : default_regs;
        const char* const* other = set ? default_regs : override_regs;
        for (size_t i = 0; i < sizeof shaders / sizeof shaders[0]; ++i) {
            const struct shader* s = &shaders[i];
            ID3DBlob *code = NULL, *errors = NULL, *listing = NULL;
            HRESULT hr = compile(s->source, strlen(s->source), "test.hlsl", set ? overrides : NULL,
                                 STANDARD_FILE_INCLUDE, "main", s->target, 0, 0, &code, &errors);
            printf("== %s (%s, %s registers): hr 0x%08lx, %lu bytes\n", s->name, s->target,
                   set ? "overridden" : "default", (unsigned long)hr,
                   code ? (unsigned long)code->lpVtbl->GetBufferSize(code) : 0ul);
            print_blob("messages", errors);
            if (FAILED(hr) || !code) {
                ++failures;
            } else if (!disassemble) {
                printf("  (no D3DDisassemble: registers not checked)\n");
            } else if (FAILED(disassemble(code->lpVtbl->GetBufferPointer(code),
                                          code->lpVtbl->GetBufferSize(code), 0, NULL, &listing)) ||
                       !listing) {
                printf("  D3DDisassemble failed\n");
                ++failures;
            } else {
                print_blob("disassembly", listing);
                const char* text = (const char*)listing->lpVtbl->GetBufferPointer(listing);
                printf("  registers:");
                for (int r = 0; r < 5; ++r) {
                    int seen = names_register(text, want[r]);
                    int stray = names_register(text, other[r]);
                    printf(" %s %s%s;", want[r], seen ? "read" : "unused",
                           stray ? " (and the other set's!)" : "");
                    if (seen != s->reads[r] || stray) ++failures;
                }
                printf("\n");
            }
            if (listing) listing->lpVtbl->Release(listing);
            if (errors) errors->lpVtbl->Release(errors);
            if (code) code->lpVtbl->Release(code);
        }
    }
    printf("%s: %d failure(s)\n", failures ? "FAILED" : "passed", failures);
    return failures ? 1 : 0;
}
