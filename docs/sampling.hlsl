// Sampling lightvol's light map in an engine's pixel shader (shader model 2.0
// and up). tools/sampling/light_sampler.cpp computes exactly the same.
//
// After each ILightingSystem::render the host copies from LightMapInfo:
//   light_layer_step = info.layer_step   (-1 / depth, 0)
//   light_origin     = info.origin
//   light_scale      = info.scale
// and binds info.texture to light_map with bilinear filtering (MINFILTER and
// MAGFILTER LINEAR, MIPFILTER NONE) and CLAMP addressing in u and v.
// light_map_size is the texture's size, read with GetLevelDesc(0, &desc):
//   (desc.Width, desc.Height, 1 / desc.Width, 1 / desc.Height)
// which is (width * depth, height, ...) after the clamps of set_volume.
// docs/integration.md shows the host's side.
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

sampler2D light_map;
float2 light_layer_step;
float3 light_origin;
float3 light_scale;
float4 light_map_size;

float3 sample_light(float3 world_pos)
{
	float3 t = (light_origin - world_pos) * light_scale;
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

// Example: an engine's lit surface.
//
// float4 surface_ps(float3 world_pos : TEXCOORD0, float4 albedo : COLOR0) : COLOR
// {
// 	return float4(albedo.rgb * sample_light(world_pos), albedo.a);
// }
