#include "platform/software/shader_program.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace lightvol_sw {
namespace detail {

namespace {

// Register types (D3DSHADER_PARAM_REGISTER_TYPE).
enum RegType : unsigned {
    kTemp = 0,
    kInput = 1,
    kConst = 2,
    kAddrOrTexture = 3,
    kRastOut = 4,
    kTexCoordOut = 6,
    kColorOut = 8,
};

// Opcodes (D3DSHADER_INSTRUCTION_OPCODE_TYPE).
enum Opcode : unsigned {
    kNop = 0,
    kMov = 1,
    kAdd = 2,
    kSub = 3,
    kMad = 4,
    kMul = 5,
    kRcp = 6,
    kRsq = 7,
    kDp3 = 8,
    kDp4 = 9,
    kMin = 10,
    kMax = 11,
    kDcl = 31,
    kMova = 46,
    kDef = 81,
    kDp2Add = 90,
    kComment = 0xFFFE,
    kEnd = 0xFFFF,
};

constexpr unsigned kTemps = 12;
constexpr unsigned kInputs = 16;
constexpr unsigned kPixelConstants = 32;
constexpr size_t kMaxTokens = 1 << 16;

struct Dest {
    unsigned type = 0;
    unsigned index = 0;
    unsigned mask = 0;
};

struct Source {
    unsigned type = 0;
    unsigned index = 0;
    unsigned swizzle[4] = {0, 1, 2, 3};
    bool negate = false;
    bool relative = false;
    unsigned relative_component = 0;
};

struct Instruction {
    unsigned opcode = kNop;
    Dest dest;
    Source src[3];
};

unsigned reg_type(DWORD token) { return ((token >> 28) & 7u) | ((token >> 8) & 0x18u); }

int source_count(unsigned opcode) {
    switch (opcode) {
        case kMov:
        case kRcp:
        case kRsq:
        case kMova:
            return 1;
        case kAdd:
        case kSub:
        case kMul:
        case kDp3:
        case kDp4:
        case kMin:
        case kMax:
            return 2;
        case kMad:
        case kDp2Add:
            return 3;
        default:
            return -1;
    }
}

// The decoded program and the registers it defines.
struct Program {
    bool vertex = false;
    std::vector<Instruction> code;
    std::vector<std::pair<unsigned, std::array<float, 4>>> defs;
    unsigned texcoords_read = 0;  // pixel: bit per declared t#
};

bool valid_dest(const Program& p, const Dest& d, unsigned opcode) {
    if (d.mask == 0) return false;
    if (opcode == kMova) return p.vertex && d.type == kAddrOrTexture && d.index == 0;
    if (d.type == kTemp) return d.index < kTemps;
    if (p.vertex) {
        if (d.type == kRastOut) return d.index == 0;
        return d.type == kTexCoordOut && d.index < 2;
    }
    return d.type == kColorOut && d.index == 0;
}

bool valid_source(const Program& p, const Source& s) {
    switch (s.type) {
        case kTemp:
            return !s.relative && s.index < kTemps;
        case kInput:
            return !s.relative && s.index < kInputs;
        case kConst:
            return s.index < (p.vertex ? kVertexConstantRegisters : kPixelConstants) &&
                   (!s.relative || p.vertex);
        case kAddrOrTexture:
            return !p.vertex && !s.relative && s.index < 2;
        default:
            return false;
    }
}

bool decode(const DWORD* tokens, bool vertex, Program& p) {
    if (!tokens) return false;
    const DWORD version = vertex ? 0xFFFE0200u : 0xFFFF0200u;
    if (tokens[0] != version) return false;
    p.vertex = vertex;
    size_t at = 1;
    while (at < kMaxTokens) {
        const DWORD token = tokens[at++];
        const unsigned opcode = token & 0xFFFFu;
        if (token == kEnd) return true;
        if (opcode == kComment) {
            at += (token >> 16) & 0x7FFFu;
            continue;
        }
        if (token & 0x80000000u) return false;
        const unsigned length = (token >> 24) & 0xFu;
        const DWORD* params = tokens + at;
        at += length;
        if (opcode == kNop) continue;
        if (opcode == kDef) {
            if (length != 5 || reg_type(params[0]) != kConst) return false;
            std::array<float, 4> values;
            std::memcpy(values.data(), params + 1, sizeof values);
            const unsigned index = params[0] & 0x7FFu;
            if (index >= (vertex ? kVertexConstantRegisters : kPixelConstants)) return false;
            p.defs.emplace_back(index, values);
            continue;
        }
        if (opcode == kDcl) {
            if (length != 2) return false;
            const unsigned type = reg_type(params[1]);
            const unsigned index = params[1] & 0x7FFu;
            if (vertex ? type != kInput || index >= kInputs : type != kAddrOrTexture || index >= 2)
                return false;
            if (!vertex) p.texcoords_read |= 1u << index;
            continue;
        }
        const int sources = source_count(opcode);
        if (sources < 0 || (opcode == kDp2Add && vertex)) return false;
        Instruction ins;
        ins.opcode = opcode;
        ins.dest.type = reg_type(params[0]);
        ins.dest.index = params[0] & 0x7FFu;
        ins.dest.mask = (params[0] >> 16) & 0xFu;
        // Result modifiers and shifts are not supported.
        if ((params[0] & 0x0FF02000u) != 0 || !valid_dest(p, ins.dest, opcode)) return false;
        unsigned used = 1;
        for (int k = 0; k < sources; ++k) {
            const DWORD s = params[used++];
            Source& src = ins.src[k];
            src.type = reg_type(s);
            src.index = s & 0x7FFu;
            for (int c = 0; c < 4; ++c) src.swizzle[c] = (s >> (16 + 2 * c)) & 3u;
            const unsigned modifier = (s >> 24) & 0xFu;
            if (modifier > 1) return false;
            src.negate = modifier == 1;
            src.relative = (s & 0x2000u) != 0;
            if (src.relative) {
                const DWORD r = params[used++];
                if (reg_type(r) != kAddrOrTexture || (r & 0x7FFu) != 0) return false;
                src.relative_component = (r >> 16) & 3u;
            }
            if (!valid_source(p, src)) return false;
        }
        if (used != length) return false;
        p.code.push_back(ins);
    }
    return false;
}

// One run of a program: every register file it may touch.
struct Registers {
    float temp[kTemps][4] = {};
    float input[kInputs][4] = {};
    float texcoord[2][4] = {};
    float out_position[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    float out_texcoord[2][4] = {};
    float out_color[4] = {};
    int address[4] = {};
};

class Interpreter {
public:
    Interpreter(const Program& program, const float (*constants)[4], const float (*defined)[4],
                const bool* is_defined, unsigned constant_count)
        : program_(program),
          constants_(constants),
          defined_(defined),
          is_defined_(is_defined),
          constant_count_(constant_count) {}

    void run(Registers& r) const {
        for (const Instruction& ins : program_.code) {
            float a[4] = {}, b[4] = {}, c[4] = {}, v[4] = {};
            const int n = source_count(ins.opcode);
            if (n > 0) read(r, ins.src[0], a);
            if (n > 1) read(r, ins.src[1], b);
            if (n > 2) read(r, ins.src[2], c);
            switch (ins.opcode) {
                case kMova:
                    for (int i = 0; i < 4; ++i)
                        r.address[i] = static_cast<int>(std::floor(a[i] + 0.5f));
                    continue;
                case kMov:
                    std::copy(a, a + 4, v);
                    break;
                case kAdd:
                    for (int i = 0; i < 4; ++i) v[i] = a[i] + b[i];
                    break;
                case kSub:
                    for (int i = 0; i < 4; ++i) v[i] = a[i] - b[i];
                    break;
                case kMul:
                    for (int i = 0; i < 4; ++i) v[i] = a[i] * b[i];
                    break;
                case kMad:
                    for (int i = 0; i < 4; ++i) v[i] = a[i] * b[i] + c[i];
                    break;
                case kMin:
                    for (int i = 0; i < 4; ++i) v[i] = a[i] < b[i] ? a[i] : b[i];
                    break;
                case kMax:
                    for (int i = 0; i < 4; ++i) v[i] = a[i] >= b[i] ? a[i] : b[i];
                    break;
                case kRcp:
                    v[0] = v[1] = v[2] = v[3] = 1.0f / a[3];
                    break;
                case kRsq:
                    v[0] = v[1] = v[2] = v[3] = 1.0f / std::sqrt(std::fabs(a[3]));
                    break;
                case kDp3:
                    v[0] = v[1] = v[2] = v[3] = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
                    break;
                case kDp4:
                    v[0] = v[1] = v[2] = v[3] =
                        a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
                    break;
                default:  // dp2add
                    v[0] = v[1] = v[2] = v[3] = a[0] * b[0] + a[1] * b[1] + c[3];
                    break;
            }
            float* d = dest(r, ins.dest);
            for (int i = 0; i < 4; ++i)
                if (ins.dest.mask & (1u << i)) d[i] = v[i];
        }
    }

private:
    // Scalar instructions read the replicated component; it sits in every lane,
    // so lane 3 stands for it.
    void read(const Registers& r, const Source& s, float out[4]) const {
        static const float kZero[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        const float* reg = kZero;
        switch (s.type) {
            case kTemp:
                reg = r.temp[s.index];
                break;
            case kInput:
                reg = r.input[s.index];
                break;
            case kAddrOrTexture:
                reg = r.texcoord[s.index];
                break;
            default: {
                long index = static_cast<long>(s.index);
                if (s.relative) index += r.address[s.relative_component];
                // Reads outside the register file yield zero.
                if (index >= 0 && static_cast<unsigned long>(index) < constant_count_)
                    reg = is_defined_[index] ? defined_[index]
                                             : (constants_ ? constants_[index] : kZero);
                break;
            }
        }
        for (int i = 0; i < 4; ++i) out[i] = s.negate ? -reg[s.swizzle[i]] : reg[s.swizzle[i]];
    }

    static float* dest(Registers& r, const Dest& d) {
        switch (d.type) {
            case kTemp:
                return r.temp[d.index];
            case kRastOut:
                return r.out_position;
            case kTexCoordOut:
                return r.out_texcoord[d.index];
            default:
                return r.out_color;
        }
    }

    const Program& program_;
    const float (*constants_)[4];
    const float (*defined_)[4];
    const bool* is_defined_;
    unsigned constant_count_;
};

// The constants a program defines with def, by register.
struct DefinedConstants {
    explicit DefinedConstants(const Program& p) {
        for (const auto& d : p.defs) {
            std::copy(d.second.begin(), d.second.end(), values[d.first]);
            defined[d.first] = true;
        }
    }
    float values[kVertexConstantRegisters][4] = {};
    bool defined[kVertexConstantRegisters] = {};
};

constexpr int kTexCoordVaryings = 4;  // floats per interpolated texture coordinate

class ProgramVertexShader final : public VertexShader {
public:
    ProgramVertexShader(Program program, const float (*constants)[4])
        : program_(std::move(program)),
          defined_(program_),
          constants_(constants),
          interpreter_(program_, constants_, defined_.values, defined_.defined,
                       kVertexConstantRegisters) {}

    bool begin_draw(const ParameterSource&) override { return true; }

    void run(const float input[4], VertexOutput& out) const override {
        Registers r;
        // The position stream feeds v0.
        std::copy(input, input + 4, r.input[0]);
        interpreter_.run(r);
        std::copy(r.out_position, r.out_position + 4, out.position);
        for (int t = 0; t < 2; ++t)
            for (int i = 0; i < kTexCoordVaryings; ++i)
                out.varyings[t * kTexCoordVaryings + i] = r.out_texcoord[t][i];
    }

    int varying_count() const override { return 2 * kTexCoordVaryings; }

private:
    Program program_;
    DefinedConstants defined_;
    const float (*constants_)[4];
    Interpreter interpreter_;
};

class ProgramPixelShader final : public PixelShader {
public:
    explicit ProgramPixelShader(Program program)
        : program_(std::move(program)),
          defined_(program_),
          interpreter_(program_, nullptr, defined_.values, defined_.defined, kPixelConstants) {}

    bool begin_draw(const ParameterSource&) override { return true; }

    void run(const float* varyings, float color[4]) const override {
        Registers r;
        for (int t = 0; t < 2; ++t)
            for (int i = 0; i < kTexCoordVaryings; ++i)
                r.texcoord[t][i] = varyings[t * kTexCoordVaryings + i];
        interpreter_.run(r);
        std::copy(r.out_color, r.out_color + 4, color);
    }

private:
    Program program_;
    DefinedConstants defined_;
    Interpreter interpreter_;
};

}  // namespace

std::shared_ptr<VertexShader> decode_vertex_program(const DWORD* tokens,
                                                    const float (*constants)[4]) {
    Program p;
    if (!decode(tokens, true, p)) return nullptr;
    return std::make_shared<ProgramVertexShader>(std::move(p), constants);
}

std::shared_ptr<PixelShader> decode_pixel_program(const DWORD* tokens) {
    Program p;
    if (!decode(tokens, false, p)) return nullptr;
    return std::make_shared<ProgramPixelShader>(std::move(p));
}

}  // namespace detail
}  // namespace lightvol_sw
