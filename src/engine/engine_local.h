// Private to engine/: the array allocators the loaders share with create_object,
// and the growth of the Scene's lists and an object's children.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "display/error.h"
#include "engine/engine.h"

// Zero-filled arrays of n records (null for n = 0).  A size above
// OBJECT_ARRAY_LIMIT or a failed allocation ends in fatal_error
// "Error reservando memoria para vértices o planos".
Vertex* allocate_vertices(uint32_t n);
Face* allocate_faces(uint32_t n);

// True when create_object (nv, nf) stays within OBJECT_ARRAY_LIMIT.
bool object_arrays_fit(uint64_t vertex_count, uint64_t face_count);

// Appends item to a pointer list of count entries.  The list grows
// geometrically: its capacity is never stored but follows from the count (0
// for an empty list, else the smallest power of two >= count), so a new array
// of twice the size is made, the entries copied and the old array freed only
// when count is 0 or a power of two.  Appending n items thus copies fewer than
// 2n pointers, where a list one slot at a time copied n^2 / 2: a 3DS file of
// many small meshes loads in time linear in its size.  The entries and their
// order are the same either way.  A failed allocation ends in fatal_error with
// message.  Used by Scene::add_object, Scene::add_light and add_child; the
// lists must not be resized any other way.
template <class T>
void append_pointer(T**& list, size_t count, T* item, const char* message)
{
    if ((count & (count - 1)) == 0) {  // 0 or a power of two: the array is full
        const size_t capacity = count == 0 ? 1 : 2 * count;
        auto grown = capacity <= SIZE_MAX / sizeof(T*) ? static_cast<T**>(std::malloc(capacity * sizeof(T*))) : nullptr;
        if (!grown)
            fatal_error("%s", message);
        if (count > 0)
            std::memcpy(grown, list, count * sizeof(T*));
        std::free(list);
        list = grown;
    }
    list[count] = item;
}
