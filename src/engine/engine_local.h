// Private to engine/: the array allocators the loaders share with create_object.
#pragma once

#include <cstdint>

#include "engine/engine.h"

// Zero-filled arrays of n records (null for n = 0).  A size above
// OBJECT_ARRAY_LIMIT or a failed allocation ends in fatal_error
// "Error reservando memoria para vértices o planos".
Vertex* allocate_vertices(uint32_t n);
Face* allocate_faces(uint32_t n);

// True when create_object (nv, nf) stays within OBJECT_ARRAY_LIMIT.
bool object_arrays_fit(uint64_t vertex_count, uint64_t face_count);
