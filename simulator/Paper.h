// The paper-like pages: what a real scanner gives of a printed sheet.
#pragma once

#include <cstdint>

#include "Page.h"

namespace scansim {

// RenderRows for a paper-like page: a paragraph of real words in a real typeface beside a photograph, on
// paper with fibres, with a sensor's noise of a few levels on every byte.
void RenderPaperRows(const PageRequest& request, uint32_t first_row, uint32_t rows, uint8_t* out);

}  // namespace scansim
