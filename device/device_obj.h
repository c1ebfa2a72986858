// Base of every object that holds Direct3D resources, and the module-wide
// registry that carries device loss and reset to them.
#pragma once

#include <cstddef>
#include <set>

class DeviceObj {
public:
    DeviceObj() = default;
    DeviceObj(const DeviceObj&) = delete;
    DeviceObj& operator=(const DeviceObj&) = delete;

    // Subclasses release their Direct3D references here. A destructor never
    // touches the registry: whoever deletes a registered object outside
    // release_device_objs unregisters it first.
    virtual ~DeviceObj() = default;
    // Release whatever does not survive IDirect3DDevice9::Reset.
    virtual void on_lost_device() {}
    // Recreate what on_lost_device released.
    virtual void on_reset_device() {}
};

// Registered objects in ascending address order. Created empty during static
// initialisation; at library unload its entries are dropped without deleting
// the objects.
extern std::set<DeviceObj*> g_device_objects;

// Inserts obj; a second registration of the same object changes nothing.
void register_device_obj(DeviceObj* obj);
// Removes obj if registered and returns the number of entries removed (0 or 1).
// Never deletes obj.
size_t unregister_device_obj(DeviceObj* obj);
// Calls on_lost_device / on_reset_device on every registered object in
// ascending address order.
void notify_lost_device();
void notify_reset_device();
// Deletes every registered object in ascending address order, then empties the
// registry.
void release_device_objs();
