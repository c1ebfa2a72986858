#include "device/device_obj.h"

std::set<DeviceObj*> g_device_objects;

void register_device_obj(DeviceObj* obj) { g_device_objects.insert(obj); }

size_t unregister_device_obj(DeviceObj* obj) { return g_device_objects.erase(obj); }

void notify_lost_device() {
    for (DeviceObj* obj : g_device_objects) obj->on_lost_device();
}

void notify_reset_device() {
    for (DeviceObj* obj : g_device_objects) obj->on_reset_device();
}

void release_device_objs() {
    for (DeviceObj* obj : g_device_objects) delete obj;
    g_device_objects.clear();
}
