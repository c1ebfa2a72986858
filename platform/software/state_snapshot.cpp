// The device state as data, its comparison, and the state listing made from it.
#include "platform/software/state_snapshot.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <tuple>

#include "platform/software/sw_internal.h"

namespace lightvol_sw {

using namespace detail;

namespace {

using Snapshot = StateSnapshot;

// What an item holds, which says how it is shown.
enum class Value { RenderState, Object, Viewport, Rect, Floats4, Stream, Shader, Flag };

// The items of one kind: their key ("RS", "RT"; numbered items add their
// index, after a space unless `joined`), how many, and where the first one
// lies. Every item is a run of bytes without padding, so items and whole
// sections compare with memcmp.
struct Section {
    const char* key;
    bool joined;
    Value value;
    size_t count;
    size_t offset;
    size_t size;
};

constexpr Section section(const char* key, bool joined, Value value, size_t count, size_t offset,
                          size_t bytes) {
    return Section{key, joined, value, count, offset, bytes / count};
}

#define LIGHTVOL_SW_SECTION(key, value, member, count) \
    section(key, false, Value::value, count, offsetof(Snapshot, member), sizeof(Snapshot::member))

constexpr Section kSections[] = {
    LIGHTVOL_SW_SECTION("RS", RenderState, render_states, Snapshot::kRenderStates),
    section("RT", true, Value::Object, Snapshot::kTargets, offsetof(Snapshot, targets),
            sizeof(Snapshot::targets)),
    LIGHTVOL_SW_SECTION("DS", Object, depth_stencil, 1),
    LIGHTVOL_SW_SECTION("Viewport", Viewport, viewport, 1),
    LIGHTVOL_SW_SECTION("Scissor", Rect, scissor, 1),
    LIGHTVOL_SW_SECTION("ClipPlane", Floats4, clip_planes, Snapshot::kClipPlanes),
    LIGHTVOL_SW_SECTION("Texture", Object, textures, Snapshot::kSamplers),
    LIGHTVOL_SW_SECTION("Stream", Stream, streams, Snapshot::kStreams),
    LIGHTVOL_SW_SECTION("Indices", Object, indices, 1),
    LIGHTVOL_SW_SECTION("Decl", Object, declaration, 1),
    LIGHTVOL_SW_SECTION("VS", Shader, vertex_shader, 1),
    LIGHTVOL_SW_SECTION("PS", Shader, pixel_shader, 1),
    LIGHTVOL_SW_SECTION("VSC", Floats4, vertex_constants, Snapshot::kVertexConstants),
    LIGHTVOL_SW_SECTION("PSC", Floats4, pixel_constants, Snapshot::kPixelConstants),
    LIGHTVOL_SW_SECTION("SoftwareVertexProcessing", Flag, software_processing, 1),
};

#undef LIGHTVOL_SW_SECTION

constexpr size_t kSectionCount = sizeof(kSections) / sizeof(kSections[0]);

constexpr size_t item_count() {
    size_t items = 0;
    for (const Section& s : kSections) items += s.count;
    return items;
}
static_assert(item_count() == Snapshot::kItems, "every item belongs to one section");

static_assert(sizeof(ObjectName) == sizeof(ObjectName::text) &&
                  sizeof(Snapshot::Shader) == sizeof(ObjectName) + sizeof(bool) &&
                  sizeof(Snapshot::Stream) == sizeof(ObjectName) + 3 * sizeof(UINT) &&
                  sizeof(D3DVIEWPORT9) == 6 * 4 && sizeof(RECT) == 4 * sizeof(LONG),
              "snapshot items must have no padding");

// The section holding `item`, and the item's index within it.
const Section& locate(size_t item, size_t* index) {
    for (const Section& s : kSections) {
        if (item < s.count) {
            *index = item;
            return s;
        }
        item -= s.count;
    }
    *index = 0;
    return kSections[kSectionCount - 1];
}

const unsigned char* bytes_of(const Snapshot& s, const Section& section, size_t index) {
    return reinterpret_cast<const unsigned char*>(&s) + section.offset + index * section.size;
}

// An item's bytes as the type its section was made from.
template <class T>
const T& item_as(const unsigned char* bytes) {
    return *reinterpret_cast<const T*>(bytes);
}

ObjectName name_of(const SwObject* object) {
    ObjectName name;
    if (!object) {
        std::memcpy(name.text, "null", 4);
    } else {
        const std::string& label = object->label();
        std::memcpy(name.text, label.data(), std::min(label.size(), sizeof name.text - 1));
    }
    return name;
}

}  // namespace

std::string StateSnapshot::line(size_t item) const {
    size_t i = 0;
    const Section& section = locate(item, &i);
    std::string s = section.key;
    if (section.count > 1) {
        if (!section.joined) s += ' ';
        put_unsigned(s, i);
    }
    s += " = ";
    const unsigned char* bytes = bytes_of(*this, section, i);
    switch (section.value) {
        case Value::RenderState: {
            const DWORD value = item_as<DWORD>(bytes);
            float f;
            std::memcpy(&f, &value, sizeof f);
            put_unsigned(s, value);
            s += " (";
            put_float(s, f);
            s += ')';
            break;
        }
        case Value::Object:
            s += item_as<ObjectName>(bytes).text;
            break;
        case Value::Viewport:
            put_arg(s, ViewportArg{&item_as<D3DVIEWPORT9>(bytes)});
            break;
        case Value::Rect:
            put_arg(s, RectArg{&item_as<RECT>(bytes)});
            break;
        case Value::Floats4: {
            const float* v = &item_as<float>(bytes);
            for (int c = 0; c < 4; ++c) {
                if (c) s += ',';
                put_float(s, v[c]);
            }
            break;
        }
        case Value::Stream: {
            const Stream& stream = item_as<Stream>(bytes);
            s += stream.buffer.text;
            s += ',';
            put_unsigned(s, stream.offset);
            s += ',';
            put_unsigned(s, stream.stride);
            s += " freq ";
            put_unsigned(s, stream.frequency);
            break;
        }
        case Value::Shader: {
            const Shader& shader = item_as<Shader>(bytes);
            s += shader.object.text;
            if (shader.from_effect) s += " (effect)";
            break;
        }
        case Value::Flag:
            s += item_as<bool>(bytes) ? '1' : '0';
            break;
    }
    return s;
}

size_t next_difference(const StateSnapshot& before, const StateSnapshot& after, size_t from,
                       const std::bitset<StateSnapshot::kRenderStates>& ignored) {
    size_t first = 0;  // of the current section
    for (const Section& section : kSections) {
        const size_t end = first + section.count;
        if (from < end) {
            const size_t start = std::max(from, first) - first;
            // Most sections are equal as a whole: one memcmp passes them.
            if (std::memcmp(bytes_of(before, section, start), bytes_of(after, section, start),
                            (section.count - start) * section.size) != 0) {
                for (size_t i = start; i < section.count; ++i) {
                    if (section.value == Value::RenderState && ignored[i]) continue;
                    if (std::memcmp(bytes_of(before, section, i), bytes_of(after, section, i),
                                    section.size) != 0)
                        return first + i;
                }
            }
        }
        first = end;
    }
    return StateSnapshot::kItems;
}

std::string describe_differences(const StateSnapshot& before, const StateSnapshot& after,
                                 const std::bitset<StateSnapshot::kRenderStates>& ignored,
                                 const char* end, size_t limit) {
    std::string out;
    size_t shown = 0, more = 0;
    for (size_t item = next_difference(before, after, 0, ignored); item < StateSnapshot::kItems;
         item = next_difference(before, after, item + 1, ignored)) {
        if (shown == limit) {
            ++more;
            continue;
        }
        ++shown;
        out += before.line(item);
        out += "  ->  ";
        out += after.line(item);
        out += end;
    }
    if (more) {
        out += "and ";
        put_unsigned(out, more);
        out += " more differing items";
        out += end;
    }
    return out;
}

// ---------------------------------------------------------------------------
// The device's side
// ---------------------------------------------------------------------------
StateSnapshot SoftwareDevice::state_snapshot() const {
    static_assert(
        Snapshot::kRenderStates == kRenderStates && Snapshot::kSamplers == kSamplers &&
            Snapshot::kStreams == kStreams &&
            Snapshot::kVertexConstants == sizeof vs_constants_ / sizeof vs_constants_[0] &&
            Snapshot::kPixelConstants == kPixelConstants &&
            Snapshot::kTargets == 1 + std::tuple_size<decltype(extra_targets_)>::value,
        "the snapshot holds the whole device state");
    StateSnapshot s;
    std::copy(render_states_.begin(), render_states_.end(), s.render_states);
    s.targets[0] = name_of(render_target_);
    for (size_t i = 0; i < extra_targets_.size(); ++i)
        s.targets[i + 1] = name_of(extra_targets_[i]);
    s.depth_stencil = name_of(depth_stencil_);
    s.viewport = viewport_;
    s.scissor = scissor_;
    std::memcpy(s.clip_planes, clip_planes_, sizeof s.clip_planes);
    for (size_t i = 0; i < kSamplers; ++i) s.textures[i] = name_of(textures_[i]);
    for (size_t i = 0; i < kStreams; ++i)
        s.streams[i] = {name_of(streams_[i].buffer), streams_[i].offset, streams_[i].stride,
                        frequencies_[i]};
    s.indices = name_of(indices_);
    s.declaration = name_of(declaration_);
    s.vertex_shader = {name_of(vs_object_), bound_vs_ && !vs_object_};
    s.pixel_shader = {name_of(ps_object_), bound_ps_ && !ps_object_};
    std::memcpy(s.vertex_constants, vs_constants_, sizeof s.vertex_constants);
    std::memcpy(s.pixel_constants, ps_constants_, sizeof s.pixel_constants);
    s.software_processing = software_processing_;
    return s;
}

std::vector<std::string> SoftwareDevice::state_lines() const {
    const StateSnapshot s = state_snapshot();
    std::vector<std::string> out;
    out.reserve(StateSnapshot::kItems);
    for (size_t item = 0; item < StateSnapshot::kItems; ++item) out.push_back(s.line(item));
    return out;
}

}  // namespace lightvol_sw
