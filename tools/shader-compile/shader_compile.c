/* Compiles HLSL shaders with D3DCompile from d3dcompiler_47.dll and writes
 * their bytecode as a C header of DWORD arrays.
 *
 *   shader_compile.exe OUT NAME PROFILE ENTRY FILE [NAME PROFILE ENTRY FILE]...
 *
 * run.sh puts its comment lines in front of OUT to make the header. Each FILE is compiled with the standard file include, so its
 * #includes are found beside it (run.sh runs this in a directory that holds
 * the sources and sampling.hlsl). Comment tokens (the constant table and the
 * compiler's name) are left out of the bytecode: Direct3D 9 does not need
 * them, and without them the bytes depend only on the instructions. Prints the
 * compiler's messages and exits non-zero when any shader fails to compile.
 *
 * Build:  x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -o shader_compile.exe shader_compile.c
 * Run:    tools/shader-compile/run.sh (under Wine 10)
 */
/* d3dcommon.h needs windows.h before it. */
// clang-format off
#include <windows.h>
#include <d3dcommon.h>
// clang-format on
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* From Microsoft's documentation of d3dcompiler_47.dll. */
typedef HRESULT(WINAPI* compile_fn)(LPCVOID src, SIZE_T size, LPCSTR name,
                                    const D3D_SHADER_MACRO* defines, ID3DInclude* include,
                                    LPCSTR entry, LPCSTR target, UINT flags1, UINT flags2,
                                    ID3DBlob** code, ID3DBlob** errors);
#define STANDARD_FILE_INCLUDE ((ID3DInclude*)(UINT_PTR)1)

/* Shader model 2 and 3 bytecode: a version token, instructions, an end token.
 * An instruction's token holds its opcode in bits 0-15 and, from shader
 * model 2 on, the number of tokens that follow it in bits 24-27; a comment's
 * token is 0xFFFE with its length in bits 16-30. */
enum { OP_COMMENT = 0xFFFE, OP_END = 0xFFFF, OP_DCL = 0x1F, OP_DEF = 0x51, OP_DEFI = 0x30, OP_DEFB = 0x2F };

/* Copies code without its comments into out (room for n tokens); returns the
 * number of tokens written, or 0 when the code is malformed. Counts the
 * instructions that execute (not declarations or constant definitions). */
static size_t strip_comments(const DWORD* code, size_t n, DWORD* out, size_t* instructions) {
    size_t in = 1, written = 1;
    *instructions = 0;
    if (n == 0) return 0;
    out[0] = code[0];
    while (in < n) {
        DWORD token = code[in], op = token & 0xFFFF;
        if (op == OP_COMMENT) {
            in += 1 + ((token >> 16) & 0x7FFF);
            continue;
        }
        if (op == OP_END) {
            out[written++] = token;
            return written;
        }
        size_t length = 1 + ((token >> 24) & 0xF);
        if (in + length > n) return 0;
        memcpy(out + written, code + in, length * sizeof(DWORD));
        written += length;
        in += length;
        if (op != OP_DCL && op != OP_DEF && op != OP_DEFI && op != OP_DEFB) ++*instructions;
    }
    return 0;
}

static char* read_file(const char* path, size_t* size) {
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    long length = ftell(f);
    fseek(f, 0, SEEK_SET);
    char* text = length >= 0 ? malloc((size_t)length + 1) : NULL;
    if (text && fread(text, 1, (size_t)length, f) != (size_t)length) {
        free(text);
        text = NULL;
    }
    fclose(f);
    if (text) {
        text[length] = 0;
        *size = (size_t)length;
    }
    return text;
}

int main(int argc, char** argv) {
    if (argc < 6 || (argc - 2) % 4 != 0) {
        fprintf(stderr, "usage: shader_compile OUT NAME PROFILE ENTRY FILE...\n");
        return 2;
    }
    HMODULE dll = LoadLibraryA("d3dcompiler_47.dll");
    compile_fn compile = dll ? (compile_fn)(void (*)(void))GetProcAddress(dll, "D3DCompile") : NULL;
    if (!compile) {
        fprintf(stderr, "no D3DCompile in d3dcompiler_47.dll\n");
        return 2;
    }
    FILE* out = fopen(argv[1], "wb");
    if (!out) {
        fprintf(stderr, "cannot write %s\n", argv[1]);
        return 2;
    }
    int failures = 0;
    for (int i = 2; i + 3 < argc; i += 4) {
        const char *name = argv[i], *profile = argv[i + 1], *entry = argv[i + 2], *file = argv[i + 3];
        size_t size = 0;
        char* source = read_file(file, &size);
        if (!source) {
            fprintf(stderr, "%s: cannot read %s\n", name, file);
            ++failures;
            continue;
        }
        ID3DBlob *code = NULL, *errors = NULL;
        HRESULT hr = compile(source, size, file, NULL, STANDARD_FILE_INCLUDE, entry, profile, 0, 0,
                             &code, &errors);
        if (errors) {
            fprintf(stderr, "%s:\n%.*s\n", name, (int)errors->lpVtbl->GetBufferSize(errors),
                    (const char*)errors->lpVtbl->GetBufferPointer(errors));
            errors->lpVtbl->Release(errors);
        }
        size_t n = code ? code->lpVtbl->GetBufferSize(code) / sizeof(DWORD) : 0;
        DWORD* tokens = n ? malloc(n * sizeof(DWORD)) : NULL;
        size_t instructions = 0;
        size_t kept = tokens ? strip_comments((const DWORD*)code->lpVtbl->GetBufferPointer(code), n,
                                              tokens, &instructions)
                             : 0;
        if (FAILED(hr) || kept == 0) {
            fprintf(stderr, "%s: %s %s in %s failed (hr 0x%08lx)\n", name, profile, entry, file,
                    (unsigned long)hr);
            ++failures;
        } else {
            printf("%s: %s, %u instructions, %u bytes\n", name, profile, (unsigned)instructions,
                   (unsigned)(kept * sizeof(DWORD)));
            fprintf(out, "\n// %s: %s %s in %s, %u instructions\n", name, profile, entry, file,
                    (unsigned)instructions);
            fprintf(out, "static const DWORD %s[] = {", name);
            for (size_t t = 0; t < kept; ++t)
                fprintf(out, "%s0x%08lx,", t % 6 ? " " : "\n    ", (unsigned long)tokens[t]);
            fprintf(out, "\n};\n");
        }
        free(tokens);
        if (code) code->lpVtbl->Release(code);
        free(source);
    }
    fclose(out);
    return failures ? 1 : 0;
}
