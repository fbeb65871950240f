#include "FieldSampling.h"

#include "OperatorSupport.h"

bool bindSamplingContext(FieldImage* primary, FieldImage* secondary, SamplingContext& ctx) {
    ctx.fieldWidth = primary->width;
    ctx.secondaryField = secondary;
    ctx.primaryField = primary;
    ctx.fieldHeight = primary->height;

    // A region reaching past the field would clamp to pixels outside the
    // buffer; cut it to the field. An empty result leaves nothing to read.
    const PixelRect region = clippedRegion(*primary);
    ctx.clampLeft = region.left;
    ctx.clampTop = region.top;
    ctx.clampRight = region.left + region.width - 1;
    ctx.clampBottom = region.top + region.height - 1;
    return !region.empty();
}
