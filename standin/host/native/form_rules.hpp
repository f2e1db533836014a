// The rules that `rewrite_forms` applies, by the name Python gives them.
#pragma once

#include "form_rewrite.hpp"

namespace vexa_host {

extern const FormRule kScalarQuantizeFolded;
extern const FormRule kLayoutTransformPairCancelled;
extern const FormRule kLayoutTransformOutsideQuantization;
extern const FormRule kPadInsideLayoutTransform;
extern const FormRule kMaxPoolAfterQuantize;
extern const FormRule kNearestResizeHalfPixel;
extern const FormRule kTiledUpsamplingToResize;
extern const FormRule kConcatenateInsideLayoutTransforms;

}  // namespace vexa_host
