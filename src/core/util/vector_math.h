#pragma once

namespace vantrel {

// Element-wise arc tangents, sines and cosines of whole arrays through the C
// library's vector maths (a few ulps from the scalar functions) where the
// processor allows, else the scalar functions. Every element takes the same
// path whatever its place in the array, so results do not depend on how
// callers split their work.
void VectorAtan2(const double* y, const double* x, double* out, int count);
void VectorSinCos(const double* angle, double* sines, double* cosines, int count);

}  // namespace vantrel
