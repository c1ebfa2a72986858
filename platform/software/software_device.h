// Software implementation of the Direct3D 9 / D3DX 9 / MessageBoxA subset
// declared in platform/portable/d3d9_portable.h, for native tests, benchmarks
// and tools. It records every call, can be told to fail any call, keeps real
// pixels and rasterizes what the light effect draws.
//
// Call log
// --------
// Every call made on the device, on the objects it created (surfaces,
// textures, buffers, declarations, effects, D3DX buffers), on the D3DX free
// functions and on MessageBoxA is appended to `calls()` as one string:
//
//     Name(arg,arg,...)
//
//   * Device methods carry no prefix: `CreateTexture(12,8,1,1,22,0)`,
//     `SetViewport(0,0,64,64,0,1)`, `Clear(0,null,1,0,1,0)`.
//   * Object methods are prefixed with their interface:
//     `IDirect3DTexture9::GetSurfaceLevel(0)`,
//     `IDirect3DVertexBuffer9::Lock(0,7200,0)`,
//     `ID3DXEffect::SetFloatArray(light_info,300)`, `ID3DXBuffer::GetBufferPointer()`.
//   * Free functions: `D3DXCreateEffect(<length>,<flags>)`,
//     `D3DXCreateCubeTexture(size,levels,usage,format,pool)`,
//     `MessageBoxA(<caption>,<text>,<flags>)`.
//   * Integers (enumerations, flags, colours included) are printed in
//     decimal, floats with "%g", strings as they are.
//   * A pointer to an object the device created prints as its label: the kind
//     and a number unique within the device, e.g. `Texture#3`, `Surface#4`,
//     `CubeTexture#5`, `VertexBuffer#6`, `Decl#7`, `Effect#8`, `Buffer#9`.
//     A texture's level surfaces (a cube texture's face surfaces) are numbered
//     right after their container. The implicit render target and depth
//     surface print as `BackBuffer` and `DepthBuffer`. A null pointer prints
//     as `null`; a pointer the device does not know prints as `foreign`.
//   * Shader bytecode prints as its version (`CreateVertexShader(vs_2_0)`);
//     constant uploads and reads as start register and count
//     (`SetVertexShaderConstantF(0,1)`), the floats omitted.
//   * Structures passed by pointer are expanded in place: a viewport as its
//     six fields (`SetViewport(0,0,64,64,0,1)`), a RECT or D3DRECT list as
//     `[l,t,r,b]` (several D3DRECTs separated by `;`), vertex elements as
//     `[Stream,Offset,Type,Method,Usage,UsageIndex]` per element before the end
//     marker, e.g. `CreateVertexDeclaration([0,0,2,0,0,0])`.
//   * Output pointers and the reserved shared-handle arguments are omitted,
//     e.g. `GetRenderTarget(0)`, `ID3DXEffect::Begin(0)`.
//   * A call that returns a failure HRESULT (injected or genuine) has
//     ` -> FAILED` appended: `CreateTexture(0,8,1,1,22,0) -> FAILED`; a
//     getter that finds nothing bound (D3DERR_NOTFOUND, not injected) has
//     ` -> NOTFOUND` instead: `GetRenderTarget(1) -> NOTFOUND`.
//   * AddRef and Release are not logged.
//
// Reference counts
// ----------------
// Objects count their COM references as Direct3D does; the device's own
// count rises by one for every created object that is alive (a texture
// together with its level surfaces counts once). What the device binds
// (render target, depth surface, stream sources, declaration, shaders, the
// effect whose pass is active) is held internally and does not show in the COM
// counts.
//
// The device itself belongs to whoever constructed it (a local, a
// unique_ptr, new/delete): its COM count is bookkeeping only, and reaching
// zero does not destroy it. Objects still referenced when the device is
// destroyed stay usable for Release only.
//
// Drawing
// -------
// DrawPrimitive runs triangle lists through the shaders bound by the active
// effect pass, or set with SetVertexShader / SetPixelShader (vs_2_0 / ps_2_0
// bytecode, run by the interpreter of shader_program.h against the vertex
// shader constants): the POSITION element of the declaration (FLOAT1..FLOAT4)
// feeds the vertex shader (v0), which writes a clip-space position and
// varyings (oT0 and oT1 for bytecode).
// Triangles are clipped to 0 <= z <= w, divided by w and mapped to the
// viewport (x = X + (x_ndc + 1) * Width / 2, y = Y + (1 - y_ndc) * Height / 2);
// D3DRS_CULLMODE discards by screen winding (CCW: counter-clockwise on
// screen). Coverage follows Direct3D 9: the pixel (x, y) is sampled at the
// integer position (x, y), not at (x + 0.5, y + 0.5) as in Direct3D 10 and
// later ("Directly Mapping Texels to Pixels (Direct3D 9)"), with the top-left
// fill rule; vertices are snapped to 1/256 pixel first. Only pixels inside the
// viewport and the render target are touched. Varyings and depth are
// interpolated linearly in screen space (exact for w = 1). With D3DRS_ZENABLE
// and a depth surface the D3DRS_ZFUNC test applies (D3DRS_ZWRITEENABLE
// writes). The pixel shader's colour is clamped to 0..1 (a unorm target),
// blended in float with the stored texel read back as value / 255
// (D3DRS_ALPHABLENDENABLE; D3DBLENDOP ADD, SUBTRACT, REVSUBTRACT, MIN, MAX;
// factors ZERO, ONE, SRC/INVSRC colour and alpha, DEST/INVDEST colour and
// alpha), clamped again and rounded to the nearest 8-bit value, under
// D3DRS_COLORWRITEENABLE. Draws without both shaders bound, and other
// primitive types, are validated and counted but draw nothing. No index
// buffer can be created, so DrawIndexedPrimitive always fails.
//
// Host state that changes what a draw writes, as Direct3D 9 defines it:
//   * D3DRS_FILLMODE POINT / WIREFRAME: only pixels within a pixel of a
//     triangle's edges are drawn (both modes alike).
//   * D3DRS_CLIPPLANEENABLE: the enabled planes of SetClipPlane clip in clip
//     space (kept where dot(plane, position) >= 0).
//   * D3DRS_WRAP0..15: texture coordinate set i (oTi, varyings 4i..4i+3)
//     takes the shorter way round the unit interval on the wrapped components.
//   * D3DRS_SCISSORTESTENABLE: draws and Clear stay within the scissor
//     rectangle. SetRenderTarget(0) resets viewport and scissor rectangle.
//   * D3DRS_ALPHATESTENABLE: the shader's clamped alpha, as 0..255, against
//     D3DRS_ALPHAREF with D3DRS_ALPHAFUNC.
//   * D3DRS_STENCILENABLE with a depth surface bound: D3DRS_STENCILFUNC
//     compares D3DRS_STENCILREF & D3DRS_STENCILMASK with a stored stencil of 0
//     (no stencil values are kept; D3D9 leaves a format without stencil bits
//     undefined here and DXVK tests it this way).
//   * Depth bounds (D3DRS_ADAPTIVETESS_X = 'NVDB'): the stored depth must lie
//     within the floats of D3DRS_ADAPTIVETESS_Z .. _W.
//   * D3DRS_FOGENABLE: table fog (D3DRS_FOGTABLEMODE LINEAR, EXP, EXP2 on the
//     pixel's depth; NONE takes vertex fog, which the shaders here never
//     write, as 0) blends D3DRS_FOGCOLOR in before blending.
//   * D3DRS_SRGBWRITEENABLE: the stored value is read as sRGB for blending
//     and the result written as sRGB.
//   * D3DRS_DITHERENABLE: a 2x2 ordered dither replaces rounding.
//   * D3DRS_COLORWRITEENABLE1..3 mask what reaches render targets 1..3; those
//     receive the same colour as target 0 (the shaders write only oC0, which
//     leaves them undefined in Direct3D 9). A bound target 1..3 of another size
//     than target 0 makes the draw fail, as Direct3D 9 refuses it.
//   * A draw while render target 0 belongs to a texture bound to a sampler
//     (SetTexture) draws nothing and is reported as misuse.
//   * Software vertex processing on a mixed-mode device
//     (SetSoftwareVertexProcessing(TRUE)) refuses draws from vertex buffers
//     made without D3DUSAGE_SOFTWAREPROCESSING.
//
// State blocks (BeginStateBlock .. EndStateBlock) record what
// IDirect3DDevice9::BeginStateBlock lists of this device's state: render
// states, viewport, scissor rectangle, clip planes, textures, stream sources
// and their frequencies, indices, vertex declaration, shaders and float shader
// constants; while recording those Set calls change nothing on the device.
// Capture and Apply work on what was recorded; the objects a block names are
// those of its last Capture (held by the block), null before one.
//
// Creation flags (set_creation_flags) say how the device was created:
// D3DCREATE_PUREDEVICE refuses the getters of state a state block can hold
// (D3DCREATE: "does not support Get* calls for anything that can be stored
// in state blocks"), except those Microsoft's pages say work on a pure device:
// GetViewport and the getters that return an interface (GetTexture,
// GetStreamSource, GetIndices, GetVertexDeclaration, GetVertexShader,
// GetPixelShader). Refused: GetRenderState, GetScissorRect, GetClipPlane,
// GetStreamSourceFreq, GetVertexShaderConstantF, GetPixelShaderConstantF.
// D3DCREATE_MIXED_VERTEXPROCESSING allows SetSoftwareVertexProcessing.
//
// What the device has, as GetDeviceCaps reports it: by default four render
// targets, vs_3_0 (the four vertex texture samplers), displacement maps
// (D3DDEVCAPS2_DMAPNPATCH), ps_3_0 and 256 vertex shader constants
// (set_constant_registers changes the shader constants). Fewer
// targets (set_render_target_count) make GetRenderTarget and SetRenderTarget
// refuse the indices past them with D3DERR_INVALIDCALL; without vertex
// textures (vs_2_0) or displacement maps GetTexture and SetTexture refuse
// those samplers the same way.
//
// Strict mode (set_strict) reports every call the device refuses of itself
// (not an injected failure, not a D3DERR_NOTFOUND answer) as a misuse, so a
// test fails on any call Direct3D 9 would refuse.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/d3d9_api.h"
#include "platform/software/state_snapshot.h"

namespace lightvol_sw {

namespace detail {
enum class Op : uint16_t;
class SwObject;
class SwVertexShader;
class SwPixelShader;
class SwSurface;
class SwTexture;
class SwCubeTexture;
class SwVertexBuffer;
class SwVertexDecl;
class SwBuffer;
class SwEffect;
class SwStateBlock;
struct RecordedState;
struct FailureRule;
}  // namespace detail

// One MessageBoxA call.
struct MessageBoxRecord {
    std::string caption;
    std::string text;
    UINT flags = 0;
};

// Every MessageBoxA call since start (or the last clear), in order.
const std::vector<MessageBoxRecord>& message_boxes();
void clear_message_boxes();

// ---------------------------------------------------------------------------
// Native shaders
// ---------------------------------------------------------------------------
constexpr int kMaxVaryings = 8;

// Named float parameters of the effect whose pass is bound, as last committed
// (BeginPass or CommitChanges).
class ParameterSource {
public:
    // Returns the parameter's floats and sets *float_count, or null if the
    // effect has no parameter of that name.
    virtual const float* parameter(const char* name, size_t* float_count) const = 0;

protected:
    ~ParameterSource() = default;
};

struct VertexOutput {
    float position[4];             // clip space
    float varyings[kMaxVaryings];  // interpolated for the pixel shader
};

class VertexShader {
public:
    virtual ~VertexShader() = default;
    // Called once per draw before any vertex; false draws nothing.
    virtual bool begin_draw(const ParameterSource& params) = 0;
    // `input` is the POSITION element of the vertex, widened to (x, y, z, w)
    // with defaults (0, 0, 0, 1) for the components the declaration lacks.
    virtual void run(const float input[4], VertexOutput& out) const = 0;
    virtual int varying_count() const = 0;
};

class PixelShader {
public:
    virtual ~PixelShader() = default;
    virtual bool begin_draw(const ParameterSource& params) = 0;
    virtual void run(const float* varyings, float color[4]) const = 0;
};

namespace detail {
// The shaders a draw runs, and the shader objects they came from when they
// were set with SetVertexShader / SetPixelShader (held by the device).
struct ShaderBinding {
    std::shared_ptr<VertexShader> vs;
    std::shared_ptr<PixelShader> ps;
    SwObject* vs_object = nullptr;
    SwObject* ps_object = nullptr;
};
}  // namespace detail

// The light effect's "VS" and "PS", registered by every device at construction.
std::shared_ptr<VertexShader> make_light_vertex_shader();
std::shared_ptr<PixelShader> make_light_pixel_shader();

// ---------------------------------------------------------------------------
// The device
// ---------------------------------------------------------------------------
class SoftwareDevice final : public IDirect3DDevice9 {
public:
    explicit SoftwareDevice(UINT backbuffer_width = 64, UINT backbuffer_height = 64);
    ~SoftwareDevice();
    SoftwareDevice(const SoftwareDevice&) = delete;
    SoftwareDevice& operator=(const SoftwareDevice&) = delete;

    // --- IUnknown
    // Answers IID_IDirect3DDevice9Ex (adding a reference) in 9Ex mode when
    // told to; nothing else. Not logged, like AddRef and Release.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // --- IDirect3DDevice9
    HRESULT STDMETHODCALLTYPE
    GetCreationParameters(D3DDEVICE_CREATION_PARAMETERS* pParameters) override;
    HRESULT STDMETHODCALLTYPE GetDeviceCaps(D3DCAPS9* pCaps) override;
    HRESULT STDMETHODCALLTYPE SetScissorRect(const RECT* pRect) override;
    HRESULT STDMETHODCALLTYPE GetScissorRect(RECT* pRect) override;
    HRESULT STDMETHODCALLTYPE SetClipPlane(DWORD Index, const float* pPlane) override;
    HRESULT STDMETHODCALLTYPE GetClipPlane(DWORD Index, float* pPlane) override;
    HRESULT STDMETHODCALLTYPE SetTexture(DWORD Stage, IDirect3DBaseTexture9* pTexture) override;
    HRESULT STDMETHODCALLTYPE GetTexture(DWORD Stage, IDirect3DBaseTexture9** ppTexture) override;
    HRESULT STDMETHODCALLTYPE SetSoftwareVertexProcessing(BOOL bSoftware) override;
    BOOL STDMETHODCALLTYPE GetSoftwareVertexProcessing() override;
    HRESULT STDMETHODCALLTYPE BeginStateBlock() override;
    HRESULT STDMETHODCALLTYPE EndStateBlock(IDirect3DStateBlock9** ppSB) override;
    HRESULT STDMETHODCALLTYPE GetVertexDeclaration(IDirect3DVertexDeclaration9** ppDecl) override;
    HRESULT STDMETHODCALLTYPE GetStreamSource(UINT StreamNumber,
                                              IDirect3DVertexBuffer9** ppStreamData,
                                              UINT* pOffsetInBytes, UINT* pStride) override;
    HRESULT STDMETHODCALLTYPE SetStreamSourceFreq(UINT StreamNumber, UINT Setting) override;
    HRESULT STDMETHODCALLTYPE GetStreamSourceFreq(UINT StreamNumber, UINT* pSetting) override;
    HRESULT STDMETHODCALLTYPE GetIndices(IDirect3DIndexBuffer9** ppIndexData) override;
    HRESULT STDMETHODCALLTYPE SetPixelShaderConstantF(UINT StartRegister,
                                                      const float* pConstantData,
                                                      UINT Vector4fCount) override;
    HRESULT STDMETHODCALLTYPE GetPixelShaderConstantF(UINT StartRegister, float* pConstantData,
                                                      UINT Vector4fCount) override;
    HRESULT STDMETHODCALLTYPE CreateTexture(UINT Width, UINT Height, UINT Levels, DWORD Usage,
                                            D3DFORMAT Format, D3DPOOL Pool,
                                            IDirect3DTexture9** ppTexture,
                                            HANDLE* pSharedHandle) override;
    HRESULT STDMETHODCALLTYPE CreateVertexBuffer(UINT Length, DWORD Usage, DWORD FVF, D3DPOOL Pool,
                                                 IDirect3DVertexBuffer9** ppVertexBuffer,
                                                 HANDLE* pSharedHandle) override;
    HRESULT STDMETHODCALLTYPE CreateRenderTarget(UINT Width, UINT Height, D3DFORMAT Format,
                                                 D3DMULTISAMPLE_TYPE MultiSample,
                                                 DWORD MultisampleQuality, BOOL Lockable,
                                                 IDirect3DSurface9** ppSurface,
                                                 HANDLE* pSharedHandle) override;
    HRESULT STDMETHODCALLTYPE CreateDepthStencilSurface(UINT Width, UINT Height, D3DFORMAT Format,
                                                        D3DMULTISAMPLE_TYPE MultiSample,
                                                        DWORD MultisampleQuality, BOOL Discard,
                                                        IDirect3DSurface9** ppSurface,
                                                        HANDLE* pSharedHandle) override;
    HRESULT STDMETHODCALLTYPE CreateOffscreenPlainSurface(UINT Width, UINT Height, D3DFORMAT Format,
                                                          D3DPOOL Pool,
                                                          IDirect3DSurface9** ppSurface,
                                                          HANDLE* pSharedHandle) override;
    HRESULT STDMETHODCALLTYPE CreateVertexDeclaration(
        const D3DVERTEXELEMENT9* pVertexElements, IDirect3DVertexDeclaration9** ppDecl) override;
    HRESULT STDMETHODCALLTYPE GetRenderTargetData(IDirect3DSurface9* pRenderTarget,
                                                  IDirect3DSurface9* pDestSurface) override;
    HRESULT STDMETHODCALLTYPE SetRenderTarget(DWORD RenderTargetIndex,
                                              IDirect3DSurface9* pRenderTarget) override;
    HRESULT STDMETHODCALLTYPE GetRenderTarget(DWORD RenderTargetIndex,
                                              IDirect3DSurface9** ppRenderTarget) override;
    HRESULT STDMETHODCALLTYPE SetDepthStencilSurface(IDirect3DSurface9* pNewZStencil) override;
    HRESULT STDMETHODCALLTYPE
    GetDepthStencilSurface(IDirect3DSurface9** ppZStencilSurface) override;
    HRESULT STDMETHODCALLTYPE BeginScene() override;
    HRESULT STDMETHODCALLTYPE EndScene() override;
    HRESULT STDMETHODCALLTYPE Clear(DWORD Count, const D3DRECT* pRects, DWORD Flags, D3DCOLOR Color,
                                    float Z, DWORD Stencil) override;
    HRESULT STDMETHODCALLTYPE SetViewport(const D3DVIEWPORT9* pViewport) override;
    HRESULT STDMETHODCALLTYPE GetViewport(D3DVIEWPORT9* pViewport) override;
    HRESULT STDMETHODCALLTYPE SetRenderState(D3DRENDERSTATETYPE State, DWORD Value) override;
    HRESULT STDMETHODCALLTYPE GetRenderState(D3DRENDERSTATETYPE State, DWORD* pValue) override;
    HRESULT STDMETHODCALLTYPE DrawPrimitive(D3DPRIMITIVETYPE PrimitiveType, UINT StartVertex,
                                            UINT PrimitiveCount) override;
    HRESULT STDMETHODCALLTYPE DrawIndexedPrimitive(D3DPRIMITIVETYPE PrimitiveType,
                                                   INT BaseVertexIndex, UINT MinVertexIndex,
                                                   UINT NumVertices, UINT startIndex,
                                                   UINT primCount) override;
    HRESULT STDMETHODCALLTYPE SetVertexDeclaration(IDirect3DVertexDeclaration9* pDecl) override;
    HRESULT STDMETHODCALLTYPE SetStreamSource(UINT StreamNumber,
                                              IDirect3DVertexBuffer9* pStreamData,
                                              UINT OffsetInBytes, UINT Stride) override;
    HRESULT STDMETHODCALLTYPE SetIndices(IDirect3DIndexBuffer9* pIndexData) override;
    HRESULT STDMETHODCALLTYPE CreateVertexShader(const DWORD* pFunction,
                                                 IDirect3DVertexShader9** ppShader) override;
    HRESULT STDMETHODCALLTYPE SetVertexShader(IDirect3DVertexShader9* pShader) override;
    HRESULT STDMETHODCALLTYPE GetVertexShader(IDirect3DVertexShader9** ppShader) override;
    HRESULT STDMETHODCALLTYPE SetVertexShaderConstantF(UINT StartRegister,
                                                       const float* pConstantData,
                                                       UINT Vector4fCount) override;
    HRESULT STDMETHODCALLTYPE GetVertexShaderConstantF(UINT StartRegister, float* pConstantData,
                                                       UINT Vector4fCount) override;
    HRESULT STDMETHODCALLTYPE CreatePixelShader(const DWORD* pFunction,
                                                IDirect3DPixelShader9** ppShader) override;
    HRESULT STDMETHODCALLTYPE SetPixelShader(IDirect3DPixelShader9* pShader) override;
    HRESULT STDMETHODCALLTYPE GetPixelShader(IDirect3DPixelShader9** ppShader) override;

    // --- Reference counting
    // AddRef then Release: the object's current COM count.
    static ULONG ref_count(IUnknown* object);
    // Created objects with a COM count above zero (the implicit back buffer and
    // depth surface excluded), and their labels in creation order.
    size_t live_object_count() const;
    std::vector<std::string> live_objects() const;
    // Release calls made on an object whose count was already zero.
    int over_releases() const { return over_releases_; }

    // --- Misuse, as Direct3D 9's debug runtime reports it: a draw while a
    // bound stream's vertex buffer is locked (also refused), a vertex buffer
    // released for the last time while locked, and a vertex buffer locked
    // again while locked (the retail runtime nests such locks; nothing here
    // needs them). One line per misuse, naming the object.
    const std::vector<std::string>& misuses() const { return misuses_; }
    void clear_misuses() { misuses_.clear(); }

    // --- Recording
    const std::vector<std::string>& calls() const { return calls_; }
    void clear_calls() { calls_.clear(); }
    void set_recording(bool on) { recording_ = on; }
    bool recording() const { return recording_; }

    // --- Failure injection
    // Makes the `occurrence`-th call (1-based, counted since construction) of
    // the operation logged as `op` fail with `hr`; occurrence 0 makes every
    // call from now on fail. A failed call has no effect and nulls its
    // outputs. Unknown names throw std::invalid_argument.
    void fail(const std::string& op, int occurrence, HRESULT hr);
    // D3DXCreateEffect failure that hands back an error buffer holding
    // `error_text` when the caller asked for one (null: no buffer).
    void fail_effect_creation(int occurrence, HRESULT hr, const char* error_text);
    // Calls so far of operations that return an HRESULT (D3DX included).
    int hresult_call_count() const { return hresult_calls_; }
    // The n-th HRESULT call (1-based, counted since construction) fails.
    void fail_nth_hresult_call(int n, HRESULT hr);
    void clear_failures();

    // --- Modes and limits
    // Null mode: nothing is recorded, drawn, cleared or stored by effect
    // parameter uploads; frame calls do the least they can. Creation and
    // bindings work as usual.
    void set_null_mode(bool on);
    bool null_mode() const { return null_mode_; }
    void set_max_texture_size(UINT size) { max_texture_size_ = size; }
    // The behaviour flags the device reports as created with (by default
    // D3DCREATE_HARDWARE_VERTEXPROCESSING). Switching away from mixed mode
    // turns software vertex processing off.
    void set_creation_flags(DWORD flags);
    bool pure() const { return (creation_flags_ & D3DCREATE_PUREDEVICE) != 0; }
    // What the device has (see above); count is clamped to 1..4.
    void set_render_target_count(DWORD count);
    void set_vertex_textures(bool on) { vertex_textures_ = on; }
    void set_displacement_map(bool on) { displacement_map_ = on; }
    // Float constant registers (MaxVertexShaderConst, at most 256; and 224,
    // 32 or 8 pixel shader registers, reported as ps_3_0, ps_2_0 or ps_1_4):
    // Set/Get*ShaderConstantF refuse registers past them.
    void set_constant_registers(UINT vertex, UINT pixel);
    // Refusals reported as misuses (see above).
    void set_strict(bool on) { strict_ = on; }

    // --- The whole device state as data (state_snapshot.h): two snapshots
    // are the same item for item exactly when nothing a host can set
    // differs. Taken without formatting or allocating; no call is logged.
    StateSnapshot state_snapshot() const;
    // The same state one line per item ("RS 168 = 15 (2.10195e-44)",
    // "RT1 = Surface#4", "VSC 3 = 1,2,3,4", ...), in the snapshot's order:
    // render states, targets, viewport, scissor rectangle, clip planes,
    // textures, streams and frequencies, indices, declaration, shaders, shader
    // constants, software vertex processing. No call is logged.
    std::vector<std::string> state_lines() const;
    UINT max_texture_size() const { return max_texture_size_; }

    // --- Direct3D 9Ex
    // 9Ex mode acts as a device made by IDirect3D9Ex::CreateDeviceEx: the
    // managed pool does not exist (CreateTexture, CreateVertexBuffer and
    // D3DXCreateCubeTexture refuse it with D3DERR_INVALIDCALL), and a reset
    // keeps default-pool resources and device state.
    // answers_query false: a wrapper around a 9Ex device that does not answer
    // QueryInterface for IDirect3DDevice9Ex.
    void set_ex_mode(bool on, bool answers_query = true) {
        ex_mode_ = on;
        answers_ex_query_ = on && answers_query;
    }
    bool ex_mode() const { return ex_mode_; }
    // The host's IDirect3DDevice9::Reset and IDirect3DDevice9Ex::ResetEx
    // (logged as "Reset()" and "ResetEx()"; lightvol never calls them).
    // Reset of a plain device fails with D3DERR_INVALIDCALL, changing nothing,
    // while a default-pool resource or a state block made by the device is
    // still referenced from outside; when it succeeds, render target 0 and the depth surface are the
    // implicit ones again, the viewport covers the back buffer (0..1), and
    // streams, indices, declaration and shaders are unbound (render states and
    // constants are not modelled across a reset). On a 9Ex device Reset and
    // ResetEx succeed whatever is alive and only rebind the implicit render
    // target and depth surface, with a viewport over the back buffer that keeps
    // its MinZ/MaxZ, as Wine's 9Ex device does. ResetEx on a plain device fails
    // with D3DERR_INVALIDCALL (it has no such method).
    HRESULT reset();
    HRESULT reset_ex();

    // --- Pixels (no call is logged)
    // Colour texels as stored (A8R8G8B8 layout; X8R8G8B8 holds 0xFF in the
    // unused byte), row by row. Empty for a depth surface or a foreign pointer.
    static std::vector<uint32_t> read_pixels(IDirect3DSurface9* surface);
    static std::vector<uint32_t> read_pixels(IDirect3DTexture9* texture, UINT level = 0);
    static uint32_t read_pixel(IDirect3DSurface9* surface, UINT x, UINT y);
    // Depth values of a depth surface.
    static std::vector<float> read_depth(IDirect3DSurface9* surface);
    // Overwrites a colour surface's texels; false on a size or kind mismatch.
    static bool write_pixels(IDirect3DSurface9* surface, const std::vector<uint32_t>& texels);
    IDirect3DSurface9* back_buffer() const;   // no reference added
    IDirect3DSurface9* depth_buffer() const;  // no reference added

    // --- Effects and shaders
    void register_vertex_shader(const std::string& name, std::shared_ptr<VertexShader> shader);
    void register_pixel_shader(const std::string& name, std::shared_ptr<PixelShader> shader);
    void unregister_shader(const std::string& name);
    std::shared_ptr<VertexShader> vertex_shader(const std::string& name) const;
    std::shared_ptr<PixelShader> pixel_shader(const std::string& name) const;
    // The floats last stored into an effect parameter by SetFloatArray
    // (whole parameter); empty when the effect or the name is unknown.
    static std::vector<float> effect_parameter(ID3DXEffect* effect, const std::string& name);
    // Vertex shader constant register `index` (four floats); null beyond 255.
    const float* vertex_shader_constant(UINT index) const {
        return index < 256 ? vs_constants_[index] : nullptr;
    }
    // Draw statistics since construction (counted in null mode too).
    uint64_t draw_calls() const { return draw_calls_; }
    uint64_t triangles_rasterized() const { return triangles_rasterized_; }
    uint64_t pixels_shaded() const { return pixels_shaded_; }

    // The most recently constructed device still alive (MessageBoxA logs to it).
    static SoftwareDevice* current();

private:
    friend class detail::SwObject;
    friend class detail::SwSurface;
    friend class detail::SwTexture;
    friend class detail::SwCubeTexture;
    friend class detail::SwVertexBuffer;
    friend class detail::SwVertexDecl;
    friend class detail::SwBuffer;
    friend class detail::SwEffect;
    friend class detail::SwVertexShader;
    friend class detail::SwPixelShader;
    friend class detail::SwStateBlock;
    // The parentheses keep "HRESULT ::name" from reading as a member of HRESULT.
    friend HRESULT WINAPI(::D3DXCreateEffect)(IDirect3DDevice9*, const void*, UINT,
                                              const D3DXMACRO*, ID3DXInclude*, DWORD,
                                              ID3DXEffectPool*, ID3DXEffect**, ID3DXBuffer**);
    friend HRESULT WINAPI(::D3DXCreateCubeTexture)(IDirect3DDevice9*, UINT, UINT, DWORD, D3DFORMAT,
                                                   D3DPOOL, IDirect3DCubeTexture9**);
    friend int WINAPI ::MessageBoxA(HWND, LPCSTR, LPCSTR, UINT);

    struct Stream {
        detail::SwVertexBuffer* buffer = nullptr;
        UINT offset = 0;
        UINT stride = 0;
    };
    static constexpr size_t kStreams = 16;
    static constexpr size_t kRenderStates = 256;
    static constexpr size_t kSamplers = 21;  // 0..15, D3DDMAPSAMPLER, 4 vertex samplers
    static constexpr UINT kPixelConstants = 224;
    // Sampler slot of a stage number; kSamplers when there is none.
    static size_t sampler_slot(DWORD stage);
    // Writes vertex shader constants the way an effect's own uploads do
    // (not logged); false beyond the registers.
    bool write_vertex_constants(UINT first, const float* values, UINT count);

    // Set/Get*ShaderConstantF of one shader type: `registers` its N float4
    // registers, of which the device has the first `has`, `recorded` its
    // flags in a state block being recorded.
    template <size_t N>
    HRESULT set_constants(detail::Op op, UINT start, const float* data, UINT count,
                          float (&registers)[N][4], UINT has,
                          std::array<bool, N> detail::RecordedState::*recorded);
    template <size_t N>
    HRESULT get_constants(detail::Op op, UINT start, float* data, UINT count,
                          const float (&registers)[N][4], UINT has);

    // Call bookkeeping: counts the call, records it when recording, and
    // returns the injected failure (or S_OK). `leave` marks a failed result.
    template <class... Args>
    HRESULT enter(detail::Op op, const Args&... args);
    HRESULT leave(HRESULT hr);
    // The sampler slot exists on this device (see set_vertex_textures).
    bool has_sampler(size_t slot) const;
    HRESULT injected_failure(detail::Op op, const char** error_text);
    bool logging() const { return recording_ && !null_mode_; }
    void append_call(std::string&& text);

    std::string next_label(const char* kind);
    void register_object(detail::SwObject* object);
    void unregister_object(detail::SwObject* object);
    HRESULT check_size(UINT width, UINT height) const;
    detail::SwSurface* surface_of(IDirect3DSurface9* surface) const;

    void bind_render_target(detail::SwSurface* surface);
    void bind_depth_stencil(detail::SwSurface* surface);
    void bind_vertex_declaration(detail::SwVertexDecl* decl);
    void bind_stream(UINT index, detail::SwVertexBuffer* buffer, UINT offset, UINT stride);
    void bind_shaders(std::shared_ptr<VertexShader> vs, std::shared_ptr<PixelShader> ps);
    // The current shader binding with the device's holds on its objects
    // duplicated, and its restoration, which gives those holds back.
    detail::ShaderBinding capture_shaders();
    void restore_shaders(detail::ShaderBinding& saved);
    void bind_constants(detail::SwEffect* effect);
    void bind_texture(size_t slot, detail::SwObject* texture);

    HRESULT validate_draw(D3DPRIMITIVETYPE type, UINT start_vertex, UINT count);
    // Records the misuse and returns true when a bound stream's buffer is locked.
    bool refuse_locked_streams();
    void rasterize_triangles(UINT start_vertex, UINT count);
    // The reason a draw must not run: refused (D3DERR_INVALIDCALL) or, for
    // render target 0 sampled at the same time, nothing drawn.
    HRESULT check_draw_state(bool* draw_nothing);
    void clear_rect(LONG x1, LONG y1, LONG x2, LONG y2, DWORD flags, D3DCOLOR color, float z);

    ULONG refs_ = 1;
    int over_releases_ = 0;
    std::vector<std::string> misuses_;
    uint32_t next_id_ = 1;
    std::vector<detail::SwObject*> objects_;

    // Recording
    bool recording_ = true;
    bool null_mode_ = false;
    bool last_logged_ = false;
    detail::Op last_op_{};
    bool strict_ = false;
    std::vector<std::string> calls_;

    // Failure injection
    std::vector<uint32_t> op_counts_;
    std::vector<detail::FailureRule> failures_;
    int hresult_calls_ = 0;
    int fail_nth_ = 0;
    HRESULT fail_nth_hr_ = S_OK;

    UINT max_texture_size_ = 8192;
    DWORD render_target_count_ = 4;
    bool vertex_textures_ = true;
    bool displacement_map_ = true;
    UINT vertex_constant_count_ = 256;
    UINT pixel_constant_count_ = 224;
    bool ex_mode_ = false;
    bool answers_ex_query_ = false;

    // Reset and ResetEx: the rules above.
    HRESULT reset_device(bool ex_call);
    // A default-pool resource or state block the device made is referenced
    // from outside.
    bool reset_blocker_alive() const;

    // Device state
    detail::SwSurface* back_buffer_ = nullptr;
    detail::SwSurface* depth_buffer_ = nullptr;
    detail::SwSurface* render_target_ = nullptr;
    detail::SwSurface* depth_stencil_ = nullptr;
    D3DVIEWPORT9 viewport_{};
    RECT scissor_{};
    std::array<detail::SwSurface*, 3> extra_targets_{};
    float clip_planes_[6][4] = {};
    std::array<detail::SwObject*, kSamplers> textures_{};
    size_t bound_textures_ = 0;  // non-null entries of textures_
    std::array<UINT, kStreams> frequencies_{};
    float ps_constants_[kPixelConstants][4] = {};
    DWORD creation_flags_ = D3DCREATE_HARDWARE_VERTEXPROCESSING;
    bool software_processing_ = false;
    std::unique_ptr<detail::RecordedState> recording_block_;
    std::array<DWORD, kRenderStates> render_states_{};
    bool in_scene_ = false;
    detail::SwVertexDecl* declaration_ = nullptr;
    std::array<Stream, kStreams> streams_{};
    detail::SwObject* indices_ = nullptr;
    std::shared_ptr<VertexShader> bound_vs_;
    std::shared_ptr<PixelShader> bound_ps_;
    detail::SwObject* vs_object_ = nullptr;
    detail::SwObject* ps_object_ = nullptr;
    float vs_constants_[256][4] = {};
    detail::SwEffect* constants_ = nullptr;

    std::map<std::string, std::shared_ptr<VertexShader>> vertex_shaders_;
    std::map<std::string, std::shared_ptr<PixelShader>> pixel_shaders_;

    // Rasterizer scratch (kept to avoid per-draw allocation)
    std::vector<VertexOutput> transformed_;

    uint64_t draw_calls_ = 0;
    uint64_t triangles_rasterized_ = 0;
    uint64_t pixels_shaded_ = 0;
};

}  // namespace lightvol_sw
