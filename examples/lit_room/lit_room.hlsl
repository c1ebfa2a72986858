// lit_room's shaders: the room's surfaces lit by lightvol's light map.
// Compiled into shaders_bytecode.h (see shaders.list).
//
// The light-map coordinate is computed per vertex, where floats have 32 bits,
// and interpolated; it is linear in the world position, so every pixel gets
// the value it would have computed itself.

// light_map_coord and sample_light_at, reading s4 and c20..c23.
#include "sampling.hlsl"

// scene.h's view_projection, transposed by the host: with HLSL's default
// column-major packing c0..c3 hold the matrix's columns.
float4x4 view_projection : register(c0);

struct Surface {
	float4 position : POSITION;
	float3 light_t : TEXCOORD0;   // light_map_coord of the world position
	float4 material : TEXCOORD1;  // albedo (rgb) and ambient term (a)
};

Surface room_vs(float3 world_pos : POSITION, float4 material : TEXCOORD0)
{
	Surface o;
	o.position = mul(float4(world_pos, 1.0), view_projection);
	o.light_t = light_map_coord(world_pos);
	o.material = material;
	return o;
}

// scene.h's shading rule: saturate(albedo * (ambient + light)).
float4 room_ps(float3 light_t : TEXCOORD0, float4 material : TEXCOORD1) : COLOR
{
	float3 light = sample_light_at(light_t);
	return float4(saturate(material.rgb * (material.a + light)), 1.0);
}
