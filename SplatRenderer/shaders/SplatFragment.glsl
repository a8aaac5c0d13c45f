// Fragment stage of both pipeline sets. Colours are premultiplied, for
// blending with source factor one and destination factor one minus source
// alpha over the farthest-first order. The multi-stage set also gathers
// the alpha-weighted window depth for its post-process pass.

in vec4 splatColor;
in vec2 splatOffset;

layout(location = 0) out vec4 outColor;
#ifdef MULTI_STAGE
layout(location = 1) out vec4 outDepth;
#endif

void main() {
    float squaredRadius = dot(splatOffset, splatOffset);
    if (squaredRadius > 9.0) discard;
    float alpha = min(splatColor.a * exp(-0.5 * squaredRadius), 0.99);
    if (alpha < 1.0 / 255.0) discard;
    outColor = vec4(splatColor.rgb * alpha, alpha);
#ifdef MULTI_STAGE
    outDepth = vec4(gl_FragCoord.z * alpha, 0.0, 0.0, alpha);
#endif
}
