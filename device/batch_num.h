// Lights per batch: the size of the light effect's parameter arrays, the number
// of quads in the light mesh and the batch size of the render pass are this one
// number.
#pragma once

#define BATCH_NUM 100
