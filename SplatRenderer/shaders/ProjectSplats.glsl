// Projection stage of both pipeline sets, one invocation per splat of a
// batch of the sorted order: everything the four corners of a splat share
// is computed once here, on every core, and the vertex stage only places
// corners. The quad spans three standard deviations along the axes of the
// splat's projected 2-D Gaussian.

layout(local_size_x = 128) in;

layout(location = 0) uniform uint firstSortedPosition;
layout(location = 1) uniform uint batchSplatCount;
// The longest quad half-axis in pixels; the renderer lowers it only when a
// frame would otherwise cover more than its fragment budget.
layout(location = 2) uniform float maxSplatRadius;

// What the frame's splats cover, for the renderer's fragment budget: an
// upper bound of the pixels inside their quads (64 bits: low word, then
// its carries) and how many splats cover any.
layout(std430, binding = 0) buffer FrameFootprint {
    uint coveredLow;
    uint coveredHigh;
    uint coveringSplats;
} footprint;

shared uint groupCoveredLow;
shared uint groupCoveredHigh;
shared uint groupCoveringSplats;

const float SH_C0 = 0.2820948;
const float SH_C1 = 0.4886025119029199;
const float SH_C2[5] = float[](1.0925484305920792, -1.0925484305920792, 0.31539156525252005,
                               -1.0925484305920792, 0.5462742152960396);
const float SH_C3[7] = float[](-0.5900435899266435, 2.890611442640554, -0.4570457994644658, 0.3731763325901154,
                               -0.4570457994644658, 1.445305721320277, -0.5900435899266435);

float coefficientHalf(uint page, uint halfIndex) {
    vec2 pair = unpackHalf2x16(pageWord(page, halfIndex >> 1));
    return (halfIndex & 1u) == 0u ? pair.x : pair.y;
}

vec3 coefficient(ChunkRecord chunk, uint first, uint basis) {
    uint index = first + (basis - 1u) * 3u;
    return vec3(coefficientHalf(chunk.shPage, index), coefficientHalf(chunk.shPage, index + 1u),
                coefficientHalf(chunk.shPage, index + 2u));
}

// The colour seen along `direction` (unit, from the camera to the splat).
vec3 evaluateColor(ChunkRecord chunk, uint splatIndex, vec3 dc, vec3 direction) {
    vec3 color = SH_C0 * dc;
    uint degree = chunk.degreeAndEnabled & 0xFFu;
    if (degree > 0u) {
        uint perSplat = 3u * ((degree + 1u) * (degree + 1u) - 1u);
        uint first = chunk.shBase * 2u + splatIndex * perSplat;
        float x = direction.x, y = direction.y, z = direction.z;
        color += SH_C1 * (-y * coefficient(chunk, first, 1u) + z * coefficient(chunk, first, 2u) -
                          x * coefficient(chunk, first, 3u));
        if (degree > 1u) {
            float xx = x * x, yy = y * y, zz = z * z, xy = x * y, yz = y * z, xz = x * z;
            color += SH_C2[0] * xy * coefficient(chunk, first, 4u) + SH_C2[1] * yz * coefficient(chunk, first, 5u) +
                     SH_C2[2] * (2.0 * zz - xx - yy) * coefficient(chunk, first, 6u) +
                     SH_C2[3] * xz * coefficient(chunk, first, 7u) +
                     SH_C2[4] * (xx - yy) * coefficient(chunk, first, 8u);
            if (degree > 2u) {
                color += SH_C3[0] * y * (3.0 * xx - yy) * coefficient(chunk, first, 9u) +
                         SH_C3[1] * xy * z * coefficient(chunk, first, 10u) +
                         SH_C3[2] * y * (4.0 * zz - xx - yy) * coefficient(chunk, first, 11u) +
                         SH_C3[3] * z * (2.0 * zz - 3.0 * xx - 3.0 * yy) * coefficient(chunk, first, 12u) +
                         SH_C3[4] * x * (4.0 * zz - xx - yy) * coefficient(chunk, first, 13u) +
                         SH_C3[5] * z * (xx - yy) * coefficient(chunk, first, 14u) +
                         SH_C3[6] * x * (xx - 3.0 * yy) * coefficient(chunk, first, 15u);
            }
        }
    }
    return max(color + 0.5, vec3(0.0));
}

void writeProjected(uint local, vec3 centre, vec2 majorAxis, vec2 minorAxis, vec4 color, vec2 sigmas) {
    projectedSplats[2u * local] = uvec4(floatBitsToUint(centre.x), floatBitsToUint(centre.y), floatBitsToUint(centre.z),
                                        packHalf2x16(majorAxis));
    projectedSplats[2u * local + 1u] = uvec4(packHalf2x16(minorAxis), packHalf2x16(color.rg), packHalf2x16(color.ba),
                                             packHalf2x16(sigmas));
}

// An upper bound of the pixel centres a quad with these half-axes covers:
// the fewer of those in its bounding box within the screen (widened by a
// pixel for rounding) and, for a convex shape of area A and perimeter P,
// A + P/2 + 1 (its axes widened for their rounding to halves).
uint coveredPixels(vec2 ndc, float majorRadius, vec2 majorAxis, float minorRadius, vec2 minorAxis) {
    vec2 screen = vec2(uniforms.screenSize);
    vec2 centre = (ndc * 0.5 + 0.5) * screen;
    vec2 halfExtent = abs(majorRadius * majorAxis) + abs(minorRadius * minorAxis) + 1.0;
    vec2 low = max(centre - halfExtent, vec2(0.0));
    vec2 high = min(centre + halfExtent, screen);
    if (any(lessThanEqual(high, low))) return 0u;
    vec2 box = ceil(high - low);
    float major = majorRadius * 1.002 + 0.1;
    float minor = minorRadius * 1.002 + 0.1;
    float quad = 4.0 * major * minor + 2.0 * (major + minor) + 1.0;
    return uint(min(box.x * box.y, ceil(quad)));
}

// Projects splat `local` of the batch; returns the pixels it may cover
// (0 when it is not drawn).
uint projectSplat(uint local) {
    // Anything not drawn keeps opacity 0.
    writeProjected(local, vec3(0.0), vec2(0.0), vec2(0.0), vec4(0.0), vec2(0.0));

    uint sortedPosition = firstSortedPosition + local;
    if (sortedPosition >= uniforms.splatCount) return 0u;
    uvec2 entry = sortedIndices[sortedPosition];
    uint chunkIndex = entry.x & 0xFFFFu;
    uint splatIndex = entry.y;
    if (chunkIndex >= uniforms.chunkCount) return 0u;
    ChunkRecord chunk = chunkTable[chunkIndex];
    if (((chunk.degreeAndEnabled >> 8) & 0xFFu) == 0u || splatIndex >= chunk.splatCount) return 0u;

    // The 32-byte record: position, colour halves, covariance halves.
    uint base = chunk.splatBase + splatIndex * 8u;
    vec3 position = uintBitsToFloat(uvec3(pageWord(chunk.splatPage, base), pageWord(chunk.splatPage, base + 1u),
                                          pageWord(chunk.splatPage, base + 2u)));
    vec2 red_green = unpackHalf2x16(pageWord(chunk.splatPage, base + 3u));
    vec2 blue_opacity = unpackHalf2x16(pageWord(chunk.splatPage, base + 4u));
    vec2 s00_s01 = unpackHalf2x16(pageWord(chunk.splatPage, base + 5u));
    vec2 s02_s11 = unpackHalf2x16(pageWord(chunk.splatPage, base + 6u));
    vec2 s12_s22 = unpackHalf2x16(pageWord(chunk.splatPage, base + 7u));
    if (any(isnan(position)) || any(isinf(position))) return 0u;

    vec4 viewPosition = uniforms.viewMatrix * vec4(position, 1.0);
    vec4 clipPosition = uniforms.projectionMatrix * viewPosition;
    float distance = -viewPosition.z;  // the camera looks down -z
    if (clipPosition.w <= 0.0 || distance <= 0.0) return 0u;
    vec2 ndc = clipPosition.xy / clipPosition.w;
    if (any(greaterThan(abs(ndc), vec2(1.3)))) return 0u;

    // Project the 3-D covariance: Σ' = J W Σ Wᵀ Jᵀ, with J the Jacobian of
    // the perspective map at the centre (its direction clamped a little
    // beyond the view, as the guard band above allows).
    mat3 sigma = mat3(s00_s01.x, s00_s01.y, s02_s11.x,
                      s00_s01.y, s02_s11.y, s12_s22.x,
                      s02_s11.x, s12_s22.x, s12_s22.y);
    float limitX = 1.3 * uniforms.tanHalfFovX;
    float limitY = 1.3 * uniforms.tanHalfFovY;
    float tx = clamp(viewPosition.x / distance, -limitX, limitX) * distance;
    float ty = clamp(viewPosition.y / distance, -limitY, limitY) * distance;
    mat3 jacobian = mat3(uniforms.focalX / distance, 0.0, 0.0,
                         0.0, uniforms.focalY / distance, 0.0,
                         uniforms.focalX * tx / (distance * distance), uniforms.focalY * ty / (distance * distance), 0.0);
    mat3 transform = jacobian * mat3(uniforms.viewMatrix);
    mat3 projected = transform * sigma * transpose(transform);
    // A low-pass of 0.3 px² keeps every splat at least a pixel wide.
    float a = projected[0][0] + 0.3;
    float b = projected[0][1];
    float c = projected[1][1] + 0.3;

    float middle = 0.5 * (a + c);
    float spread = sqrt(max(middle * middle - (a * c - b * b), 0.0));
    float major = middle + spread;
    float minor = max(middle - spread, 0.0);
    vec2 majorAxis = abs(b) > 1e-9 ? normalize(vec2(b, major - a)) : (a >= c ? vec2(1.0, 0.0) : vec2(0.0, 1.0));
    vec2 minorAxis = vec2(-majorAxis.y, majorAxis.x);
    // The fragment stage drops what is fainter than 1/255, which a faint
    // splat is already short of three standard deviations: its quad ends
    // there (a hair beyond, for rounding), since nothing further is drawn.
    float opacity = clamp(blue_opacity.y, 0.0, 1.0);
    if (!(opacity >= 1.0 / 255.0)) return 0u;
    float extent = min(3.0, sqrt(max(2.0 * log(255.0 * opacity), 0.0)) * 1.01 + 0.01);
    float largest = min(2.0 * float(max(uniforms.screenSize.x, uniforms.screenSize.y)), maxSplatRadius);
    float majorRadius = min(extent * sqrt(major), largest);
    float minorRadius = min(extent * sqrt(minor), largest);
    if (!(majorRadius > 0.0) || !(minorRadius > 0.0)) return 0u;

    vec2 toDevice = 2.0 / vec2(uniforms.screenSize);
    vec3 direction = normalize(position - uniforms.cameraPosition);
    vec3 dc = vec3(red_green, blue_opacity.x);
    writeProjected(local, vec3(ndc, clipPosition.z / clipPosition.w), majorRadius * majorAxis * toDevice,
                   minorRadius * minorAxis * toDevice, vec4(evaluateColor(chunk, splatIndex, dc, direction), opacity),
                   vec2(majorRadius / sqrt(max(major, 1e-12)), minorRadius / sqrt(max(minor, 1e-12))));
    return coveredPixels(ndc, majorRadius, majorAxis, minorRadius, minorAxis);
}

// Adds to a 64-bit sum kept as a low word and a count of its carries.
void addCovered(uint amount) {
    uint before = atomicAdd(groupCoveredLow, amount);
    if (before > 0xFFFFFFFFu - amount) atomicAdd(groupCoveredHigh, 1u);
}

void main() {
    // Each group sums its splats' footprints in shared memory and adds
    // them to the frame's once: one global atomic per group, not per splat.
    if (gl_LocalInvocationIndex == 0u) {
        groupCoveredLow = 0u;
        groupCoveredHigh = 0u;
        groupCoveringSplats = 0u;
    }
    barrier();
    uint local = gl_GlobalInvocationID.x;
    if (local < batchSplatCount) {
        uint covered = projectSplat(local);
        if (covered > 0u) {
            addCovered(covered);
            atomicAdd(groupCoveringSplats, 1u);
        }
    }
    barrier();
    if (gl_LocalInvocationIndex == 0u) {
        uint before = atomicAdd(footprint.coveredLow, groupCoveredLow);
        uint carries = groupCoveredHigh + (before > 0xFFFFFFFFu - groupCoveredLow ? 1u : 0u);
        if (carries > 0u) atomicAdd(footprint.coveredHigh, carries);
        atomicAdd(footprint.coveringSplats, groupCoveringSplats);
    }
}
