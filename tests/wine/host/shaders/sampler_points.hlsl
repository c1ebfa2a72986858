// World points drawn through the shipped sampler, one pixel each: the vertex
// shader computes the light-map coordinate and puts the point on its own
// pixel of the target, the pixel shader returns the sampled light.
#include "sampling.hlsl"

// (2 / target width, -2 / target height, -1, 1): a pixel's integer position
// to clip space, so that the point lands on that pixel's centre.
float4 pixel_to_clip : register(c0);

struct SampledPoint {
	float4 position : POSITION;
	float3 light_t : TEXCOORD0;
};

SampledPoint point_vs(float3 world_pos : POSITION, float2 pixel : TEXCOORD0)
{
	SampledPoint o;
	o.position = float4(pixel * pixel_to_clip.xy + pixel_to_clip.zw, 0.0, 1.0);
	o.light_t = light_map_coord(world_pos);
	return o;
}

float4 point_ps(float3 light_t : TEXCOORD0) : COLOR
{
	return float4(sample_light_at(light_t), 1.0);
}
