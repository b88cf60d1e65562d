// Private to engine/: the array allocators the loaders share with create_object,
// and the one-slot growth of the Scene's lists and an object's children.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "display/display.h"
#include "engine/engine.h"

// Zero-filled arrays of n records (null for n = 0).  A size above
// OBJECT_ARRAY_LIMIT or a failed allocation ends in fatal_error
// "Error reservando memoria para vértices o planos".
Vertex* allocate_vertices(uint32_t n);
Face* allocate_faces(uint32_t n);

// True when create_object (nv, nf) stays within OBJECT_ARRAY_LIMIT.
bool object_arrays_fit(uint64_t vertex_count, uint64_t face_count);

// Grows a pointer list of count entries by exactly one slot holding item: new
// array, copy, free the old.  A failed allocation ends in fatal_error with
// message.  Used by Scene::add_object, Scene::add_light and add_child.
template <class T>
void append_pointer(T**& list, size_t count, T* item, const char* message)
{
    auto grown = static_cast<T**>(std::malloc((count + 1) * sizeof(T*)));
    if (!grown)
        fatal_error("%s", message);
    if (count > 0)
        std::memcpy(grown, list, count * sizeof(T*));
    grown[count] = item;
    std::free(list);
    list = grown;
}
