#pragma once
// The 41 format descriptors of the program and their registration. Every
// descriptor is registered from the start, so that a saved format position
// in the sorted registry means the same format in every build; a codec not
// yet built has a descriptor without entry points, which the registry never
// probes and which therefore opens nothing.
#include "core/format.h"

namespace quillon {

constexpr int kFormatTableRows = 41;

// The descriptors in registration order (0..40); null outside.
FormatDescriptor* formatTableRow(int index);

// Registers every descriptor with `registry`. For the process-wide registry
// it happens once, however often it is called.
void registerAllFormats(FormatRegistry& registry);
void registerAllFormats();

} // namespace quillon
