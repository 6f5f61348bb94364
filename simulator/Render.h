// The pages the simulated scanner sees: a test chart per page, drawn in physical units so that the
// same point of a page has the same colour at every resolution.
#pragma once

#include <cstdint>
#include <vector>

#include "Page.h"

namespace scansim {

// Draws rows [first_row, first_row + rows) of the page into `out`, which holds rows x BytesPerRow bytes.
// Any slice equals the same rows of the whole page.
void RenderRows(const PageRequest& request, uint32_t first_row, uint32_t rows, uint8_t* out);

// The whole page, rows top to bottom: what a host gets by joining the page's blocks less their trailers.
std::vector<uint8_t> RenderPage(const PageRequest& request);

}  // namespace scansim
