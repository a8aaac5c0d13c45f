// Shared by every splat stage; the renderer puts "#version 450 core" in
// front of this text.

// One frame's uniforms: 180 bytes, std140 (see Uniforms in FrameRecords.hpp).
layout(std140, binding = 0) uniform UniformsBlock {
    mat4 projectionMatrix;
    mat4 viewMatrix;
    vec3 cameraPosition;
    float _padding0;
    uvec2 screenSize;
    float focalX;
    float focalY;
    float tanHalfFovX;
    float tanHalfFovY;
    uint chunkCount;
    uint splatCount;
    uint indexedSplatCount;
} uniforms;

// One projected splat of a batch, 32 bytes: its centre in normalised
// device coordinates and depth, its two quad axes in device units
// (halves), its colour and opacity (halves), and how many standard
// deviations each axis spans (halves). A splat that is not drawn has
// opacity 0.
layout(std430, binding = 15) buffer ProjectedSplats {
    uvec4 projectedSplats[];
};
