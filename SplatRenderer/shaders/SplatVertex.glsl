// Vertex stage of both pipeline sets: four vertices per splat, drawn
// instanced, indexedSplatCount splats per instance. Vertex 4i + c is
// corner c of splat i of the instance, placed from the batch's projected
// splats.

layout(location = 0) uniform uint batchSplatCount;

out vec4 splatColor;   // linear colour and opacity
out vec2 splatOffset;  // position in standard deviations from the centre

void main() {
    // Anything not drawn lands outside the clip volume.
    gl_Position = vec4(2.0, 2.0, 2.0, 1.0);
    splatColor = vec4(0.0);
    splatOffset = vec2(0.0);

    uint corner = uint(gl_VertexID) & 3u;
    uint local = uint(gl_InstanceID) * uniforms.indexedSplatCount + (uint(gl_VertexID) >> 2);
    if (local >= batchSplatCount) return;
    uvec4 first = projectedSplats[2u * local];
    uvec4 second = projectedSplats[2u * local + 1u];
    vec2 blueOpacity = unpackHalf2x16(second.z);
    if (!(blueOpacity.y > 0.0)) return;

    vec2 cornerSign = vec2((corner & 1u) == 0u ? -1.0 : 1.0, (corner & 2u) == 0u ? -1.0 : 1.0);
    vec2 centre = uintBitsToFloat(first.xy);
    vec2 offset = cornerSign.x * unpackHalf2x16(first.w) + cornerSign.y * unpackHalf2x16(second.x);
    gl_Position = vec4(centre + offset, uintBitsToFloat(first.z), 1.0);
    splatOffset = cornerSign * unpackHalf2x16(second.w);
    splatColor = vec4(unpackHalf2x16(second.y), blueOpacity);
}
