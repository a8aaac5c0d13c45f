#pragma once

#include <cstddef>
#include <cstdint>

// The training step's tuning: how far ahead its loops fetch, and how they
// cut their work into chunks and blocks. Each value was chosen by
// bench/TrainerBench (BM_TrainingStep and BM_Render: 320 x 240, 50,000
// Gaussians, 1 to 8 threads); none changes a result, only the speed, so
// measure there again before changing one.
namespace tessaron::trainer::tuning {

// How many Gaussians ahead the loops over them in depth order (scattered in
// memory) fetch what they read next; the tile fill fetches the Gaussians
// themselves `fillFetchFactor` times as far ahead as the lines their entries
// go to, and the gradient gather fetches entry sums twice as far.
constexpr uint32_t prefetchDistance = 8;
constexpr uint32_t fillFetchFactor = 4;
constexpr uint32_t gatherFetchFactor = 2;

// How many tiles of a row the half-row masks of a Gaussian are made for at
// a time.
constexpr int maskColumns = 32;

// Rows of a tile half from which stepping an alpha from row to row pays off
// over an exponential per row.
constexpr int minSteppedRows = 3;

// Items a chunk of a parallel loop over Gaussians or entries takes at
// least: below that, handing a chunk out costs more than its work.
constexpr size_t minChunkItems = 256;
// Chunks per worker: the projection's, and the tile fill's (where one
// chunk's entries of a tile end and the next one's begin, two workers write
// one cache line, so fewer chunks are better there).
constexpr size_t projectionChunksPerWorker = 8;
constexpr size_t fillChunksPerWorker = 2;

// The depth sort: at most this many bits of the depths per radix pass, and
// at least this many items per block of a pass (below that, waking the
// workers costs more than the pass).
constexpr int maxDigitBits = 12;
constexpr size_t sortBlockItems = 4096;

// Chunk sizes of the other loops of a step: Gaussians gathered and carried
// back through the projection, Gaussians updated by Adam, Gaussians looked
// at by the densifier, and image rows of the loss (two at a time, so that
// the workers' shares of a small image come out even).
constexpr size_t gatherGrain = 512;
constexpr size_t adamGrain = 1024;
constexpr size_t densifierGrain = 4096;
constexpr size_t lossRowGrain = 2;

// How many batches of eight Gaussians ahead the projection fetches the
// colour coefficients (most of the memory it reads).
constexpr size_t colourPrefetchBatches = 2;

}  // namespace tessaron::trainer::tuning
