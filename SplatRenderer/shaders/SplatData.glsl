// What the projection stage reads of a frame: the chunk table, the sorted
// order and the pages of chunk data. The renderer puts "#version 450 core"
// and PAGE_COUNT (1 to 12) in front of this text.

// One 24-byte record per chunk: where its records and coefficients start
// (a page and an offset in 32-bit words), its splat count, and the degree
// (low byte) and enabled flag (next byte) of the last word.
struct ChunkRecord {
    uint splatPage;
    uint splatBase;
    uint shPage;
    uint shBase;
    uint splatCount;
    uint degreeAndEnabled;
};

layout(std430, binding = 1) readonly buffer ChunkTable {
    ChunkRecord chunkTable[];
};

// ChunkedSplatIndex entries, farthest first: x holds the chunk index in
// its low 16 bits, y the splat index.
layout(std430, binding = 2) readonly buffer SortedIndices {
    uvec2 sortedIndices[];
};

// The chunks' records and coefficients, packed into pages no longer than
// one storage block may be.
layout(std430, binding = 3) readonly buffer Page {
    uint words[];
} pages[PAGE_COUNT];

uint pageWord(uint page, uint index) {
    // Constant indices only: block arrays may not be indexed per vertex.
    switch (page) {
        case 0u: return pages[0].words[index];
#if PAGE_COUNT > 1
        case 1u: return pages[1].words[index];
#endif
#if PAGE_COUNT > 2
        case 2u: return pages[2].words[index];
#endif
#if PAGE_COUNT > 3
        case 3u: return pages[3].words[index];
#endif
#if PAGE_COUNT > 4
        case 4u: return pages[4].words[index];
#endif
#if PAGE_COUNT > 5
        case 5u: return pages[5].words[index];
#endif
#if PAGE_COUNT > 6
        case 6u: return pages[6].words[index];
#endif
#if PAGE_COUNT > 7
        case 7u: return pages[7].words[index];
#endif
#if PAGE_COUNT > 8
        case 8u: return pages[8].words[index];
#endif
#if PAGE_COUNT > 9
        case 9u: return pages[9].words[index];
#endif
#if PAGE_COUNT > 10
        case 10u: return pages[10].words[index];
#endif
#if PAGE_COUNT > 11
        case 11u: return pages[11].words[index];
#endif
        default: return 0u;
    }
}
