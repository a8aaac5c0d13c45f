// Composites the multi-stage set's accumulated splats over the cleared
// target (blending one, one minus source alpha) and writes the
// alpha-weighted depth of each pixel; pixels no splat covers keep the
// cleared depth.

layout(binding = 0) uniform sampler2D accumulatedColor;
layout(binding = 1) uniform sampler2D accumulatedDepth;
layout(location = 0) uniform ivec2 viewportOrigin;

layout(location = 0) out vec4 outColor;

void main() {
    ivec2 texel = ivec2(gl_FragCoord.xy) - viewportOrigin;
    vec4 color = texelFetch(accumulatedColor, texel, 0);
    vec4 depth = texelFetch(accumulatedDepth, texel, 0);
    outColor = color;
    gl_FragDepth = color.a > 1.0 / 255.0 ? depth.r / color.a : 0.0;
}
