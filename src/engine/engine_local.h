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
// geometrically: an array the engine made has room for twice the count it
// was made for, and room notes which array that is, its slots and the count
// left after the last append.  Only while the list is still that array with
// that count and a spare slot does the item go straight in; otherwise (full,
// or an array a caller installed, or a count a caller changed) a new array of
// twice the count (1 for an empty list) is made, the count entries copied and
// the old array freed.  Appending n items thus copies fewer than 2n
// pointers, where a list one slot at a time copied n^2 / 2: a 3DS file of
// many small meshes loads in time linear in its size.  The entries and their
// order are the same either way.  A failed allocation ends in fatal_error with
// message.  Used by Scene::add_object, Scene::add_light and add_child.
template <class T>
void append_pointer(T**& list, size_t count, T* item, ListRoom& room, const char* message)
{
    const bool room_left = list != nullptr && list == room.array && count == room.count && count < room.capacity;
    if (!room_left) {
        const size_t capacity = count == 0 ? 1 : count <= SIZE_MAX / 2 ? 2 * count : 0;
        T** grown = capacity != 0 && capacity <= SIZE_MAX / sizeof(T*)
                        ? static_cast<T**>(std::malloc(capacity * sizeof(T*)))
                        : nullptr;
        if (!grown)
            fatal_error("%s", message);
        if (count > 0)
            std::memcpy(grown, list, count * sizeof(T*));
        std::free(list);
        list = grown;
        room.array = grown;
        room.capacity = capacity;
    }
    list[count] = item;
    room.count = count + 1;
}
