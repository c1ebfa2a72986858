#include "tools/preview/scene.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace lightvol_preview {

namespace {

using json = nlohmann::json;

struct SceneError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw SceneError(where.empty() ? what : where + ": " + what);
}

std::string describe(const json& value) {
    switch (value.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return "a boolean";
        case json::value_t::string:
            return "a string";
        case json::value_t::array:
            return "an array";
        case json::value_t::object:
            return "an object";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float:
            return value.dump();
        default:
            return "an unsupported value";
    }
}

std::string member(const std::string& where, const char* key) {
    return where.empty() ? key : where + "." + key;
}

std::string element(const std::string& where, size_t i) {
    return where + "[" + std::to_string(i) + "]";
}

// Rejects keys outside `known`, so that a misspelt optional field does not
// pass unnoticed.
void check_keys(const json& object, const std::string& where,
                std::initializer_list<const char*> known) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool found = false;
        for (const char* key : known) found = found || it.key() == key;
        if (!found) fail(member(where, it.key().c_str()), "unknown field");
    }
}

const json& require(const json& object, const std::string& where, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) fail(member(where, key), "missing");
    return *it;
}

const json* optional(const json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

void expect_object(const json& value, const std::string& where) {
    if (!value.is_object()) fail(where, "expected an object, got " + describe(value));
}

float to_float(const json& value, const std::string& where) {
    if (!value.is_number()) fail(where, "expected a number, got " + describe(value));
    const double d = value.get<double>();
    const float f = static_cast<float>(d);
    if (!std::isfinite(d) || !std::isfinite(f))
        fail(where, describe(value) + " is not a finite 32-bit float");
    return f;
}

int32_t to_int32(const json& value, const std::string& where) {
    if (!value.is_number_integer()) fail(where, "expected an integer, got " + describe(value));
    if (value.is_number_unsigned()) {
        if (value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
            fail(where, describe(value) + " is out of the 32-bit integer range");
        return static_cast<int32_t>(value.get<uint64_t>());
    }
    const int64_t v = value.get<int64_t>();
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        fail(where, describe(value) + " is out of the 32-bit integer range");
    return static_cast<int32_t>(v);
}

bool to_bool(const json& value, const std::string& where) {
    if (!value.is_boolean()) fail(where, "expected true or false, got " + describe(value));
    return value.get<bool>();
}

// An array of exactly n finite numbers.
void to_floats(const json& value, const std::string& where, float* out, size_t n) {
    if (!value.is_array() || value.size() != n)
        fail(where, "expected an array of " + std::to_string(n) + " numbers, got " +
                        (value.is_array() ? "an array of " + std::to_string(value.size())
                                          : describe(value)));
    for (size_t i = 0; i < n; ++i) out[i] = to_float(value[i], element(where, i));
}

Vec3 to_vec3(const json& value, const std::string& where) {
    float v[3];
    to_floats(value, where, v, 3);
    return {v[0], v[1], v[2]};
}

void parse_volume(const json& root, Scene& scene) {
    const std::string where = "volume";
    const json& volume = require(root, "", "volume");
    expect_object(volume, where);
    check_keys(volume, where, {"width", "height", "depth", "cell_size", "base_layer"});
    const char* size_keys[3] = {"width", "height", "depth"};
    int32_t* sizes[3] = {&scene.width, &scene.height, &scene.depth};
    for (int i = 0; i < 3; ++i) {
        const std::string at = member(where, size_keys[i]);
        *sizes[i] = to_int32(require(volume, where, size_keys[i]), at);
        if (*sizes[i] < 1) fail(at, "must be at least 1, got " + std::to_string(*sizes[i]));
    }
    const std::string cell_at = member(where, "cell_size");
    scene.cell_size = to_float(require(volume, where, "cell_size"), cell_at);
    // The lighting system raises smaller cells to 0.01; a scene says what it means.
    if (scene.cell_size < 0.01f)
        fail(cell_at, "must be at least 0.01, got " + describe(volume["cell_size"]));
    if (const json* layer = optional(volume, "base_layer"))
        scene.base_layer = to_int32(*layer, member(where, "base_layer"));
}

void parse_lights(const json& root, Scene& scene) {
    const json& lights = require(root, "", "lights");
    if (!lights.is_array()) fail("lights", "expected an array, got " + describe(lights));
    for (size_t i = 0; i < lights.size(); ++i) {
        const std::string where = element("lights", i);
        const json& entry = lights[i];
        expect_object(entry, where);
        check_keys(entry, where, {"position", "radius", "color", "auto_cull", "visible"});
        SceneLight light;
        light.position = to_vec3(require(entry, where, "position"), member(where, "position"));
        light.radius = to_float(require(entry, where, "radius"), member(where, "radius"));
        if (light.radius < 0.0f)
            fail(member(where, "radius"), "must not be negative, got " + describe(entry["radius"]));
        light.color = to_vec3(require(entry, where, "color"), member(where, "color"));
        if (const json* v = optional(entry, "auto_cull"))
            light.auto_cull = to_bool(*v, member(where, "auto_cull"));
        if (const json* v = optional(entry, "visible"))
            light.visible = to_bool(*v, member(where, "visible"));
        scene.lights.push_back(light);
    }
}

void parse_frames(const json& root, Scene& scene) {
    const json& frames = require(root, "", "frames");
    if (!frames.is_array()) fail("frames", "expected an array, got " + describe(frames));
    if (frames.empty()) fail("frames", "needs at least one frame");

    // How the requested box follows from one frame to the next.
    bool extent_box = false;
    float extent[2] = {0, 0};
    Vec3 box_min{0, 0, 0}, box_max{0, 0, 0};
    for (size_t i = 0; i < frames.size(); ++i) {
        const std::string where = element("frames", i);
        const json& entry = frames[i];
        expect_object(entry, where);
        check_keys(entry, where, {"focus", "movement", "box_min", "box_max", "box_extent"});
        SceneFrame frame;
        frame.focus = to_vec3(require(entry, where, "focus"), member(where, "focus"));

        if (const json* m = optional(entry, "movement")) {
            to_floats(*m, member(where, "movement"), frame.movement, 2);
        } else if (i > 0) {
            const Vec3& before = scene.frames.back().focus;
            frame.movement[0] = frame.focus.x - before.x;
            frame.movement[1] = frame.focus.y - before.y;
        }

        const json* lo = optional(entry, "box_min");
        const json* hi = optional(entry, "box_max");
        const json* ext = optional(entry, "box_extent");
        if ((lo || hi) && ext)
            fail(where, "give either box_min and box_max or box_extent, not both");
        if (lo || hi) {
            if (!lo) fail(member(where, "box_min"), "missing (box_max needs it)");
            if (!hi) fail(member(where, "box_max"), "missing (box_min needs it)");
            box_min = to_vec3(*lo, member(where, "box_min"));
            box_max = to_vec3(*hi, member(where, "box_max"));
            if (!(box_max.x > box_min.x) || !(box_max.y > box_min.y))
                fail(where, "box_max must exceed box_min in x and in y");
            extent_box = false;
        } else if (ext) {
            to_floats(*ext, member(where, "box_extent"), extent, 2);
            if (!(extent[0] > 0.0f) || !(extent[1] > 0.0f))
                fail(member(where, "box_extent"), "both sides must be greater than 0");
            extent_box = true;
        } else if (i == 0) {
            fail(where, "needs a requested box: box_min and box_max, or box_extent");
        }
        if (extent_box) {
            frame.box_min = {frame.focus.x - extent[0] * 0.5f, frame.focus.y - extent[1] * 0.5f,
                             frame.focus.z};
            frame.box_max = {frame.focus.x + extent[0] * 0.5f, frame.focus.y + extent[1] * 0.5f,
                             frame.focus.z};
            if (!(frame.box_max.x > frame.box_min.x) || !(frame.box_max.y > frame.box_min.y))
                fail(member(where, "box_extent"), "too small to give a box around the focus");
        } else {
            frame.box_min = box_min;
            frame.box_max = box_max;
        }
        scene.frames.push_back(frame);
    }
}

}  // namespace

bool parse_scene(const std::string& text, Scene& scene, std::string& error) {
    Scene parsed;
    try {
        json root;
        try {
            root = json::parse(text, nullptr, true, /*ignore_comments=*/true);
        } catch (const json::exception& e) {
            // Drop the library's "[json.exception.kind.n] " prefix.
            std::string what = e.what();
            const size_t close = what.find("] ");
            if (what.rfind("[json.exception.", 0) == 0 && close != std::string::npos)
                what.erase(0, close + 2);
            if (e.id == 406) what = "a number is out of range: " + what;
            throw SceneError("not valid JSON: " + what);
        }
        expect_object(root, "scene");
        check_keys(root, "", {"description", "volume", "view_height", "lights", "frames"});
        if (const json* d = optional(root, "description")) {
            if (!d->is_string()) fail("description", "expected a string, got " + describe(*d));
            parsed.description = d->get<std::string>();
        }
        parse_volume(root, parsed);
        // The middle layer's plane by default.
        parsed.view_height =
            (static_cast<float>(parsed.base_layer) + static_cast<float>(parsed.depth - 1) * 0.5f) *
            parsed.cell_size;
        if (const json* h = optional(root, "view_height"))
            parsed.view_height = to_float(*h, "view_height");
        if (!std::isfinite(parsed.view_height))
            fail("view_height", "the default view height is not finite; give one");
        parse_lights(root, parsed);
        parse_frames(root, parsed);
    } catch (const SceneError& e) {
        error = e.what();
        return false;
    }
    scene = std::move(parsed);
    return true;
}

bool load_scene(const std::string& path, Scene& scene, std::string& error) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        error = path + ": is a directory, not a scene file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open the file";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error = path + ": cannot read the file";
        return false;
    }
    if (!parse_scene(text.str(), scene, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace lightvol_preview
