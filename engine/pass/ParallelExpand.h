// SPDX-License-Identifier: MIT
// The expansion pass on several threads, restoring exactly what the one-thread pass restores.
//
// The job's thread reads the payload's chunks in order through Refill (progress, lamps, the
// stop check) into a bounded window and looks for the 48-bit block and end magics at every
// bit offset. Each stretch between two magics is a candidate block, which a worker decodes
// straight from the payload's bits into its compact form (CompactBlock.h), CRC checked. A block
// is accepted only when it is sound and ends exactly where the next magic begins; the job's
// thread walks the chain of accepted blocks in order from the start of the payload, restores
// them into the output (delta filter and cap as usual), mixes their CRCs and checks the stream
// CRC at the end magic. `consumed` ends where the one-thread decoder stops, bytes after the
// stream are never read as data, and reading pauses at any end magic until the chain has
// passed it.
//
// A magic inside a block's data is a false candidate: its attempts fail and the block is tried
// again up to the next magic. Past a small budget of failed attempts (or anything else out of
// the ordinary: a damaged block, a payload that does not open with a magic, a stream that is
// cut short) the rest of the stream is decoded on the job's thread by the one-thread decoder,
// started at the chain's head with the stream CRC so far, so its final check, its error and its
// output are those of the one-thread pass.
//
// Memory stays bounded: at most `threads + 2` blocks in flight, each kept in its compact form
// (at most 900 KB, whatever it restores to: a block of runs restores up to about 46 MB) with
// the payload bytes it came from, a window of `threads + 3` MiB, and a decoder per worker.
//
// Threads: called on the job's thread, which alone calls the observer and writes the output.
// The workers it starts have all ended when it returns.
#pragma once

#include <optional>

#include "engine/pass/EngineContext.h"

namespace kavrin {

// Runs engine's expansion pass with engine.threads threads. Same contract as ExpandStream
// (ExpandPass.h): the first chunk is loaded; true only when the payload ended with the header's
// size and every CRC right. Nothing (and nothing taken from the input) when the pass's window
// or a single worker could not be had.
std::optional<bool> ExpandInParallel(EngineContext& engine);

}  // namespace kavrin
