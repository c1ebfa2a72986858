#include "platform/software/effect_parser.h"

#include <cctype>
#include <cstdlib>
#include <map>

namespace lightvol_sw {
namespace detail {

namespace {

enum class TokKind { Ident, Number, Punct, String, End };

struct Token {
    TokKind kind;
    std::string text;
    int line;
};

struct ParseError {
    int line;
    std::string problem;
};

bool is_ident_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool is_ident_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Splits one stretch of source into tokens. Comments are removed; line
// numbers follow the source.
class Lexer {
public:
    Lexer(const char* text, size_t length, int first_line)
        : p_(text), end_(text + length), line_(first_line) {}

    // Returns false at the end of input.
    bool next(Token& t) {
        skip_space_and_comments();
        if (p_ >= end_) return false;
        t.line = line_;
        const char c = *p_;
        if (is_ident_start(c)) {
            const char* b = p_;
            while (p_ < end_ && is_ident_char(*p_)) ++p_;
            t.kind = TokKind::Ident;
            t.text.assign(b, p_);
        } else if (std::isdigit(static_cast<unsigned char>(c)) ||
                   (c == '.' && p_ + 1 < end_ && std::isdigit(static_cast<unsigned char>(p_[1])))) {
            const char* b = p_;
            while (p_ < end_ && (is_ident_char(*p_) || *p_ == '.' ||
                                 ((*p_ == '+' || *p_ == '-') && (p_[-1] == 'e' || p_[-1] == 'E'))))
                ++p_;
            t.kind = TokKind::Number;
            t.text.assign(b, p_);
        } else if (c == '"') {
            const char* b = ++p_;
            while (p_ < end_ && *p_ != '"' && *p_ != '\n') ++p_;
            if (p_ >= end_ || *p_ != '"') throw ParseError{t.line, "newline in string literal"};
            t.kind = TokKind::String;
            t.text.assign(b, p_);
            ++p_;
        } else {
            static const char* const kTwoChar[] = {"==", "!=", "<=", ">=", "&&", "||", "++",
                                                   "--", "+=", "-=", "*=", "/=", "::"};
            t.kind = TokKind::Punct;
            t.text.assign(1, c);
            if (p_ + 1 < end_) {
                for (const char* op : kTwoChar) {
                    if (op[0] == c && op[1] == p_[1]) {
                        t.text.assign(op, 2);
                        break;
                    }
                }
            }
            static const std::string kSingles = "{}()[];:,.=+-*/%<>!&|^~?";
            if (t.text.size() == 1 && kSingles.find(c) == std::string::npos) {
                std::string shown = std::isprint(static_cast<unsigned char>(c))
                                        ? std::string(1, c)
                                        : "\\x" + std::to_string(static_cast<unsigned char>(c));
                throw ParseError{line_, "unexpected character '" + shown + "'"};
            }
            p_ += t.text.size();
        }
        return true;
    }

private:
    void skip_space_and_comments() {
        while (p_ < end_) {
            const char c = *p_;
            if (c == '\n') {
                ++line_;
                ++p_;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
                ++p_;
            } else if (c == '/' && p_ + 1 < end_ && p_[1] == '/') {
                while (p_ < end_ && *p_ != '\n') ++p_;
            } else if (c == '/' && p_ + 1 < end_ && p_[1] == '*') {
                const int start = line_;
                p_ += 2;
                while (p_ + 1 < end_ && !(p_[0] == '*' && p_[1] == '/')) {
                    if (*p_ == '\n') ++line_;
                    ++p_;
                }
                if (p_ + 1 >= end_) throw ParseError{start, "unterminated comment"};
                p_ += 2;
            } else {
                return;
            }
        }
    }

    const char* p_;
    const char* end_;
    int line_;
};

// Replaces comments by spaces, keeping line feeds so that lines keep their
// numbers.
std::string strip_comments(const char* text, size_t length) {
    std::string s(text, length);
    int line = 1;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n') {
            ++line;
        } else if (s[i] == '"') {
            while (i + 1 < s.size() && s[i + 1] != '"' && s[i + 1] != '\n') ++i;
            if (i + 1 < s.size() && s[i + 1] == '"') ++i;
        } else if (s[i] == '/' && i + 1 < s.size() && s[i + 1] == '/') {
            while (i < s.size() && s[i] != '\n') s[i++] = ' ';
            --i;
        } else if (s[i] == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            const int start = line;
            size_t j = i + 2;
            while (j + 1 < s.size() && !(s[j] == '*' && s[j + 1] == '/')) ++j;
            if (j + 1 >= s.size()) throw ParseError{start, "unterminated comment"};
            for (size_t k = i; k < j + 2; ++k) {
                if (s[k] == '\n') {
                    ++line;
                } else {
                    s[k] = ' ';
                }
            }
            i = j + 1;
        }
    }
    return s;
}

// Runs the preprocessor over the whole text: directives are handled line by
// line, macros are expanded in the tokens of the other lines.
std::vector<Token> preprocess(const char* text, size_t length,
                              const std::vector<Macro>& predefined) {
    std::map<std::string, std::vector<Token>> macros;
    for (const Macro& m : predefined) {
        std::vector<Token> value;
        Lexer lx(m.value.data(), m.value.size(), 0);
        Token t;
        while (lx.next(t)) value.push_back(t);
        macros[m.name] = value;
    }

    const std::string source = strip_comments(text, length);
    text = source.data();
    length = source.size();

    std::vector<Token> out;
    auto expand = [&](const Token& t, auto& self, int depth) -> void {
        if (t.kind == TokKind::Ident) {
            auto it = macros.find(t.text);
            if (it != macros.end()) {
                if (depth > 32)
                    throw ParseError{t.line, "macro '" + t.text + "' expands without end"};
                for (Token v : it->second) {
                    v.line = t.line;
                    self(v, self, depth + 1);
                }
                return;
            }
        }
        out.push_back(t);
    };

    size_t pos = 0;
    int line = 1;
    while (pos < length) {
        size_t eol = pos;
        while (eol < length && text[eol] != '\n') ++eol;
        size_t first = pos;
        while (first < eol && (text[first] == ' ' || text[first] == '\t' || text[first] == '\r'))
            ++first;
        if (first < eol && text[first] == '#') {
            Lexer lx(text + first + 1, eol - first - 1, line);
            Token name;
            if (!lx.next(name) || name.kind != TokKind::Ident)
                throw ParseError{line, "invalid preprocessor directive"};
            if (name.text != "define")
                throw ParseError{line, "unsupported preprocessor directive '#" + name.text + "'"};
            Token macro;
            if (!lx.next(macro) || macro.kind != TokKind::Ident)
                throw ParseError{line, "#define without a macro name"};
            const char* after = text + first + 1;
            // A '(' right after the name makes a function-like macro.
            const std::string directive(after, eol - first - 1);
            const size_t name_end =
                directive.find(macro.text, directive.find("define") + 6) + macro.text.size();
            if (name_end < directive.size() && directive[name_end] == '(')
                throw ParseError{line, "function-like macro '" + macro.text + "' is not supported"};
            std::vector<Token> value;
            Token v;
            while (lx.next(v)) value.push_back(v);
            macros[macro.text] = value;
        } else {
            Lexer lx(text + pos, eol - pos, line);
            Token t;
            while (lx.next(t)) expand(t, expand, 0);
        }
        pos = eol + 1;
        ++line;
    }
    return out;
}

bool is_parameter_type(const std::string& type, size_t* floats) {
    static const std::map<std::string, size_t> kTypes = {
        {"float", 1}, {"float1", 1}, {"float2", 2}, {"float3", 3}, {"float4", 4}, {"float4x4", 16}};
    auto it = kTypes.find(type);
    if (it == kTypes.end()) return false;
    *floats = it->second;
    return true;
}

bool is_builtin_type(const std::string& type) {
    static const char* const kBuiltins[] = {
        "void",        "bool",     "int",    "uint",   "half",     "double",   "float",
        "float1",      "float2",   "float3", "float4", "float2x2", "float3x3", "float4x4",
        "float3x4",    "float4x3", "half2",  "half3",  "half4",    "int2",     "int3",
        "int4",        "bool2",    "bool3",  "bool4",  "texture",  "sampler",  "sampler2D",
        "samplerCUBE", "matrix",   "vector"};
    for (const char* b : kBuiltins)
        if (type == b) return true;
    return false;
}

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : toks_(std::move(tokens)) {
        end_.kind = TokKind::End;
        end_.line = toks_.empty() ? 1 : toks_.back().line;
    }

    void parse(ParsedEffect& fx) {
        while (!at_end()) {
            const Token& t = peek();
            if (t.kind == TokKind::Punct && t.text == ";") {
                ++i_;
            } else if (is(t, "struct")) {
                parse_struct();
            } else if (is(t, "technique") || is(t, "technique9")) {
                fx.techniques.push_back(parse_technique());
            } else {
                parse_declaration(fx);
            }
        }
    }

private:
    static bool is(const Token& t, const char* ident) {
        return t.kind == TokKind::Ident && t.text == ident;
    }
    static bool is_punct(const Token& t, const char* p) {
        return t.kind == TokKind::Punct && t.text == p;
    }
    bool at_end() const { return i_ >= toks_.size(); }
    const Token& peek(size_t ahead = 0) const {
        return i_ + ahead < toks_.size() ? toks_[i_ + ahead] : end_;
    }
    const Token& take() {
        const Token& t = peek();
        if (!at_end()) ++i_;
        return t;
    }
    [[noreturn]] void unexpected(const Token& t, const std::string& expected) const {
        if (t.kind == TokKind::End) throw ParseError{t.line, "unexpected end of file"};
        throw ParseError{t.line, "syntax error: unexpected '" + t.text + "', expected " + expected};
    }
    void expect_punct(const char* p) {
        const Token& t = take();
        if (!is_punct(t, p)) unexpected(t, std::string("'") + p + "'");
    }
    std::string expect_ident(const char* what) {
        const Token& t = take();
        if (t.kind != TokKind::Ident) unexpected(t, what);
        return t.text;
    }
    // Skips a balanced group starting at the current opening token.
    void skip_group(const char* open, const char* close) {
        const Token& first = take();
        if (!is_punct(first, open)) unexpected(first, std::string("'") + open + "'");
        int depth = 1;
        while (depth > 0) {
            const Token& t = take();
            if (t.kind == TokKind::End) throw ParseError{t.line, "unexpected end of file"};
            if (is_punct(t, open)) ++depth;
            if (is_punct(t, close)) --depth;
        }
    }

    void parse_struct() {
        take();  // struct
        const std::string name = expect_ident("a structure name");
        skip_group("{", "}");
        expect_punct(";");
        types_.push_back(name);
    }

    bool is_known_type(const std::string& type) const {
        if (is_builtin_type(type)) return true;
        for (const std::string& t : types_)
            if (t == type) return true;
        return false;
    }

    void parse_declaration(ParsedEffect& fx) {
        static const char* const kQualifiers[] = {"uniform",   "static",       "const",
                                                  "extern",    "shared",       "volatile",
                                                  "row_major", "column_major", "inline"};
        bool is_static = false;
        for (;;) {
            bool qualifier = false;
            for (const char* q : kQualifiers) {
                if (is(peek(), q)) {
                    qualifier = true;
                    if (peek().text == "static") is_static = true;
                }
            }
            if (!qualifier) break;
            ++i_;
        }
        const Token& type_tok = take();
        if (type_tok.kind != TokKind::Ident) unexpected(type_tok, "a declaration");
        if (!is_known_type(type_tok.text))
            throw ParseError{type_tok.line, "unrecognized identifier '" + type_tok.text + "'"};
        const std::string type = type_tok.text;
        const Token& name_tok = take();
        if (name_tok.kind != TokKind::Ident) unexpected(name_tok, "an identifier");
        const std::string name = name_tok.text;
        const int line = name_tok.line;

        if (is_punct(peek(), "(")) {
            skip_group("(", ")");
            if (is_punct(peek(), ":")) {
                take();
                expect_ident("a semantic");
            }
            if (is_punct(peek(), ";")) {  // prototype
                take();
                return;
            }
            if (!is_punct(peek(), "{")) unexpected(peek(), "'{'");
            skip_group("{", "}");
            for (const ParsedFunction& f : fx.functions)
                if (f.name == name)
                    throw ParseError{line, "redefinition of function '" + name + "'"};
            fx.functions.push_back({name, line});
            return;
        }

        // A global variable.
        ParsedParameter param;
        param.name = name;
        param.line = line;
        // Static globals are constants of the shaders, not effect parameters.
        const bool parameter = is_parameter_type(type, &param.floats_per_element) && !is_static;
        if (!parameter && !is_static)
            throw ParseError{line, "unsupported parameter type '" + type + "'"};
        if (is_punct(peek(), "[")) {
            take();
            const Token& size = take();
            char* end = nullptr;
            const long n =
                size.kind == TokKind::Number ? std::strtol(size.text.c_str(), &end, 10) : 0;
            if (size.kind != TokKind::Number || !end || *end != '\0' || n <= 0 || n > 65536)
                throw ParseError{size.line, "array size must be a positive integer literal, not '" +
                                                size.text + "'"};
            param.elements = static_cast<size_t>(n);
            expect_punct("]");
        }
        if (is_punct(peek(), ":")) {
            take();
            expect_ident("a semantic");
        }
        if (is_punct(peek(), "<")) skip_group("<", ">");
        if (is_punct(peek(), "=")) {
            take();
            int depth = 0;
            while (!(depth == 0 && is_punct(peek(), ";"))) {
                const Token& t = take();
                if (t.kind == TokKind::End) throw ParseError{t.line, "unexpected end of file"};
                if (is_punct(t, "{")) ++depth;
                if (is_punct(t, "}")) --depth;
            }
        }
        expect_punct(";");
        if (!parameter) return;
        for (const ParsedParameter& p : fx.parameters)
            if (p.name == name) throw ParseError{line, "redefinition of '" + name + "'"};
        fx.parameters.push_back(param);
    }

    ParsedTechnique parse_technique() {
        ParsedTechnique tech;
        tech.line = take().line;
        if (peek().kind == TokKind::Ident) tech.name = take().text;
        if (is_punct(peek(), "<")) skip_group("<", ">");
        expect_punct("{");
        while (!is_punct(peek(), "}")) {
            const Token& t = take();
            if (!is(t, "pass")) unexpected(t, "'pass'");
            ParsedPass pass;
            if (peek().kind == TokKind::Ident) pass.name = take().text;
            if (is_punct(peek(), "<")) skip_group("<", ">");
            expect_punct("{");
            while (!is_punct(peek(), "}")) parse_state(pass);
            take();
            tech.passes.push_back(pass);
        }
        take();
        return tech;
    }

    void parse_state(ParsedPass& pass) {
        const Token& state = take();
        if (state.kind != TokKind::Ident) unexpected(state, "a state assignment");
        const bool vs = state.text == "VertexShader";
        const bool ps = state.text == "PixelShader";
        if (is_punct(peek(), "[")) skip_group("[", "]");
        expect_punct("=");
        if (vs || ps) {
            ParsedShaderRef ref;
            ref.line = state.line;
            const Token& kw = take();
            if (!is(kw, "compile")) unexpected(kw, "'compile'");
            ref.profile = expect_ident("a shader profile");
            ref.entry = expect_ident("an entry point");
            skip_group("(", ")");
            expect_punct(";");
            (vs ? pass.vertex_shader : pass.pixel_shader) = ref;
            return;
        }
        // Other render states are accepted and have no effect here.
        while (!is_punct(peek(), ";")) {
            const Token& t = take();
            if (t.kind == TokKind::End) throw ParseError{t.line, "unexpected end of file"};
            if (is_punct(t, "}")) unexpected(t, "';'");
        }
        take();
    }

    std::vector<Token> toks_;
    size_t i_ = 0;
    Token end_;
    std::vector<std::string> types_;
};

}  // namespace

bool parse_effect(const char* text, size_t length, const std::vector<Macro>& predefined,
                  ParsedEffect& out, std::string& error) {
    out = ParsedEffect{};
    try {
        Parser parser(preprocess(text, length, predefined));
        parser.parse(out);
        return true;
    } catch (const ParseError& e) {
        error = "effect(" + std::to_string(e.line) + "): error: " + e.problem;
        return false;
    }
}

}  // namespace detail
}  // namespace lightvol_sw
