// The Scene: top-level objects (owned, with their children) and lights (the
// pointer array is owned, the Light records are not).
#include <cstdlib>

#include "engine/engine.h"
#include "engine/engine_local.h"

Scene::~Scene()
{
    clear();
}

void Scene::add_object(Object* object)
{
    // The object list reports with the same words as a child list.
    append_pointer(objects, size_t(object_count), object, object_room, "Error reservando memoria para el array de hijos");
    ++object_count;
}

void Scene::add_light(Light* light)
{
    append_pointer(lights, size_t(light_count), light, light_room, "Error reservando memoria para el array de luces");
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
    object_room = {};
    std::free(lights);
    lights = nullptr;
    light_count = 0;
    light_room = {};
}
