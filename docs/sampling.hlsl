// Sampling lightvol's light map in an engine's shaders (shader model 2.0 and
// up). tools/sampling/light_sampler.cpp computes exactly the same.
//
// Include it in the engine's shader source:
//   #include "sampling.hlsl"   (installed as share/lightvol/sampling.hlsl)
//
// Registers. The defaults are those of docs/integration.md's host code
// (light_frame): the light map on sampler stage 4, the four constants in
// c20..c23, in the order below. An engine whose shaders use those registers
// for something else defines the macros before the #include and passes the
// same numbers to SetTexture / SetSamplerState / Set*ShaderConstantF.
//
// After each ILightingSystem::render the host copies from LightMapInfo:
//   light_layer_step = info.layer_step   (-1 / depth, 0)
//   light_origin     = info.origin
//   light_scale      = info.scale
// and binds info.texture to light_map with MINFILTER and MAGFILTER LINEAR,
// MIPFILTER NONE, CLAMP addressing in u and v and SRGBTEXTURE off (the texels
// are linear light; an sRGB read would darken them).
// light_map_size is the texture's size, read with GetLevelDesc(0, &desc):
//   (desc.Width, desc.Height, 1 / desc.Width, 1 / desc.Height)
// which is (width * depth, height, ...) after the clamps of set_volume.
// docs/integration.md shows the host's side.
//
// Precision. ps_2_0 hardware may compute in 24-bit floats (16-bit mantissa),
// too coarse for (light_origin - world_pos) far from world 0. Compute
// light_map_coord in the vertex shader (32-bit floats; it reads only
// light_origin and light_scale, so the host sets c21..c22 as vertex shader
// constants too), pass it in a TEXCOORD and call sample_light_at in the pixel
// shader. light_map_coord is linear in world_pos, so interpolating it across
// a triangle gives each pixel the value it would compute there.
//
// Where a texel's value lives
// ---------------------------
// lightvol draws with Direct3D 9 rasterization: pixel (i, j) is shaded at the
// integer screen position (i, j), so texel (i, j) of layer L holds the light at
//   (volume_min.x + i * cell, volume_max.y - j * cell, volume_min.z + L * cell)
// -- the minimum-x / maximum-y corner of its cell, not the cell's centre.
// With t = (origin - p) * scale, that world point has
//   t.x * texture width  = i   (t.x runs from 0 at the volume's minimum x to
//                               1 / depth at its maximum; the last texel's
//                               point is one cell before that maximum)
//   t.y * texture height = j
//   t.z                  = L
// A Direct3D 9 sampler, however, finds texel i's value at u = (i + 0.5) / W.
// So the shader adds half a texel to (t.x, t.y) before it reads. Without that
// shift a sample at a light's centre reads a blend of the centre texel and
// its neighbours, and every light's brightest spot appears half a cell
// towards +x and -y of where the light is.
//
// Filtering
// ---------
// Within a layer the hardware filters bilinearly. u is clamped to the centres
// of the layer's first and last column, so the filter footprint never reaches
// a neighbouring layer's strip (the strips sit side by side in one texture).
// Between layers the shader blends the two nearest layers linearly; below the
// lowest and above the highest layer it uses that layer alone.

#ifndef LIGHTVOL_SAMPLING_HLSL
#define LIGHTVOL_SAMPLING_HLSL

#ifndef LIGHTVOL_SAMPLER_REGISTER
#define LIGHTVOL_SAMPLER_REGISTER s4
#endif
#ifndef LIGHTVOL_LAYER_STEP_REGISTER
#define LIGHTVOL_LAYER_STEP_REGISTER c20
#endif
#ifndef LIGHTVOL_ORIGIN_REGISTER
#define LIGHTVOL_ORIGIN_REGISTER c21
#endif
#ifndef LIGHTVOL_SCALE_REGISTER
#define LIGHTVOL_SCALE_REGISTER c22
#endif
#ifndef LIGHTVOL_MAP_SIZE_REGISTER
#define LIGHTVOL_MAP_SIZE_REGISTER c23
#endif

sampler2D light_map : register(LIGHTVOL_SAMPLER_REGISTER);
float2 light_layer_step : register(LIGHTVOL_LAYER_STEP_REGISTER);
float3 light_origin : register(LIGHTVOL_ORIGIN_REGISTER);
float3 light_scale : register(LIGHTVOL_SCALE_REGISTER);
float4 light_map_size : register(LIGHTVOL_MAP_SIZE_REGISTER);

// The light-map coordinate t of a world point: (t.x, t.y) the texture's
// (u, v) within layer 0's strip, before the half-texel shift; t.z the layer.
float3 light_map_coord(float3 world_pos)
{
	return (light_origin - world_pos) * light_scale;
}

// The light at light-map coordinate t (from light_map_coord).
float3 sample_light_at(float3 t)
{
	float strip = -light_layer_step.x;              // 1 / depth: one layer's share of u
	float top_layer = floor(1.0 / strip + 0.5) - 1.0;  // depth - 1, a whole number

	// Layer coordinate, clamped to the volume, and the two layers around it.
	float layer = clamp(t.z, 0.0, top_layer);
	float below = floor(layer);
	float above = min(below + 1.0, top_layer);
	float blend = layer - below;

	// Texel centres: half a texel on, then clamped into the layer's own
	// columns and the texture's rows.
	float2 half_texel = 0.5 * light_map_size.zw;
	float2 uv = t.xy + half_texel;
	uv.x = clamp(uv.x, half_texel.x, strip - half_texel.x);
	uv.y = clamp(uv.y, half_texel.y, 1.0 - half_texel.y);

	// Subtracting L * layer_step moves (u, v) into layer L's strip.
	float3 low = tex2D(light_map, uv - below * light_layer_step).rgb;
	float3 high = tex2D(light_map, uv - above * light_layer_step).rgb;
	return lerp(low, high, blend);
}

// The light at a world point, all in one stage.
float3 sample_light(float3 world_pos)
{
	return sample_light_at(light_map_coord(world_pos));
}

#endif  // LIGHTVOL_SAMPLING_HLSL

// Example: an engine's lit surface, the coordinate from the vertex shader.
//
// struct Lit { float4 pos : POSITION; float3 light_t : TEXCOORD0; float4 albedo : COLOR0; };
// Lit surface_vs(float4 world_pos : POSITION, float4 albedo : COLOR0)
// {
// 	Lit o;
// 	o.pos = mul(world_pos, view_projection);
// 	o.light_t = light_map_coord(world_pos.xyz);
// 	o.albedo = albedo;
// 	return o;
// }
// float4 surface_ps(float3 light_t : TEXCOORD0, float4 albedo : COLOR0) : COLOR
// {
// 	return float4(albedo.rgb * sample_light_at(light_t), albedo.a);
// }
