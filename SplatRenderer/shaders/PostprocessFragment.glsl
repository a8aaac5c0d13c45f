// Composites the multi-stage set's accumulated splats over the cleared
// target (blending one, one minus source alpha) and writes the
// alpha-weighted depth of each pixel; pixels no splat covers keep the
// cleared depth. A frame drawn at a lower resolution is stretched over the
// target with bilinear filtering.

layout(binding = 0) uniform sampler2D accumulatedColor;
layout(binding = 1) uniform sampler2D accumulatedDepth;
layout(location = 0) uniform ivec2 viewportOrigin;
// Accumulated texels per target pixel: (1, 1) when drawn at full resolution.
layout(location = 1) uniform vec2 resolutionScale;
// The accumulated texels in use, from the texture's origin.
layout(location = 2) uniform vec2 accumulatedExtent;

layout(location = 0) out vec4 outColor;

void main() {
    vec4 color;
    vec4 depth;
    if (resolutionScale == vec2(1.0)) {
        ivec2 texel = ivec2(gl_FragCoord.xy) - viewportOrigin;
        color = texelFetch(accumulatedColor, texel, 0);
        depth = texelFetch(accumulatedDepth, texel, 0);
    } else {
        // Texel centres only, so that nothing beyond the extent bleeds in.
        vec2 position = clamp((gl_FragCoord.xy - vec2(viewportOrigin)) * resolutionScale, vec2(0.5),
                              max(accumulatedExtent - 0.5, vec2(0.5)));
        vec2 coordinates = position / vec2(textureSize(accumulatedColor, 0));
        color = texture(accumulatedColor, coordinates);
        depth = texture(accumulatedDepth, coordinates);
    }
    outColor = color;
    gl_FragDepth = color.a > 1.0 / 255.0 ? depth.r / color.a : 0.0;
}
