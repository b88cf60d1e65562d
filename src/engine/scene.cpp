// The Scene: top-level objects (owned, with their children) and lights (the
// pointer array is owned, the Light records are not).
#include <cstdlib>
#include <cstring>

#include "display/display.h"
#include "engine/engine.h"

// Grows a pointer list by exactly one slot: new array, copy, free the old.
template <class T>
static void append_pointer(T**& list, int32_t count, T* item, const char* message)
{
    auto grown = static_cast<T**>(std::malloc((size_t(count) + 1) * sizeof(T*)));
    if (!grown)
        fatal_error("%s", message);
    if (count > 0)
        std::memcpy(grown, list, size_t(count) * sizeof(T*));
    grown[count] = item;
    std::free(list);
    list = grown;
}

Scene::~Scene()
{
    clear();
}

void Scene::add_object(Object* object)
{
    // The object list reports with the same words as a child list.
    append_pointer(objects, object_count, object, "Error reservando memoria para el array de hijos");
    ++object_count;
}

void Scene::add_light(Light* light)
{
    append_pointer(lights, light_count, light, "Error reservando memoria para el array de luces");
    ++light_count;
}

void Scene::clear()
{
    for (int32_t i = 0; i < object_count; ++i)
        destroy_object(objects[i]);
    // Both arrays go too: the next addition starts a fresh one-slot array, and
    // keeping the old ones would lose them.
    std::free(objects);
    objects = nullptr;
    object_count = 0;
    std::free(lights);
    lights = nullptr;
    light_count = 0;
}
