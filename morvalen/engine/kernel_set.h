// The kernels of one instruction set, as kernels_<set>.cpp define them for
// the dispatcher (kernels.cpp). Only plain declarations: see kernel_types.h.
#pragma once

#include "kernel_types.h"

struct KernelSet {
  TileKernel tile;
  BoundKernel bound;
};

// Replaces the terms of the lanes set in laneMask, whose summed counts
// (`arguments`) lie beyond the table, by lnFactorial itself. Out of line, in
// plain code: it runs rarely.
void patchLargeTerms(const int32_t* arguments, uint32_t laneMask, double* terms);

// Each defined only where its file is built (MORVALEN_KERNELS_<SET>).
extern const KernelSet kAvx2Kernels;
extern const KernelSet kAvx512Kernels;
extern const KernelSet kNeonKernels;
