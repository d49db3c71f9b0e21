#include "fakeuinput.h"

#include <linux/uinput.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

UMockdevIoctlData *resolve(UMockdevIoctlClient *client, std::size_t size)
{
    return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr);
}

unsigned long argument(UMockdevIoctlClient *client)
{
    return *reinterpret_cast<gulong *>(umockdev_ioctl_client_get_arg(client)->data);
}

int highestCode(unsigned long request)
{
    switch (request) {
    case UI_SET_EVBIT:
        return EV_MAX;
    case UI_SET_KEYBIT:
        return KEY_MAX;
    case UI_SET_RELBIT:
        return REL_MAX;
    case UI_SET_ABSBIT:
        return ABS_MAX;
    case UI_SET_PROPBIT:
        return INPUT_PROP_MAX;
    case UI_SET_LEDBIT:
        return LED_MAX;
    }
    return -1;
}

int eventType(unsigned long request)
{
    switch (request) {
    case UI_SET_KEYBIT:
        return EV_KEY;
    case UI_SET_RELBIT:
        return EV_REL;
    case UI_SET_ABSBIT:
        return EV_ABS;
    case UI_SET_LEDBIT:
        return EV_LED;
    case UI_SET_EVBIT:
        return FakeUinput::EventTypes;
    }
    return FakeUinput::Properties;
}

// The kernel's input core: undeclared codes, repeated key states, zero
// relative moves and unchanged axes go nowhere.
bool passesInputCore(FakeUinput::Device &device, const input_event &event)
{
    if (event.type == EV_SYN)
        return true;
    if (!device.codes.count({FakeUinput::EventTypes, event.type}) || !device.codes.count({event.type, event.code}))
        return false;
    if (event.type == EV_KEY) {
        const bool wasDown = device.keys_down.count(event.code) > 0;
        if (wasDown == (event.value != 0))
            return false;
        if (event.value)
            device.keys_down.insert(event.code);
        else
            device.keys_down.erase(event.code);
    } else if (event.type == EV_REL) {
        return event.value != 0;
    } else if (event.type == EV_ABS) {
        auto [value, added] = device.axis_values.emplace(event.code, event.value);
        if (!added && value->second == event.value)
            return false;
        value->second = event.value;
    }
    return true;
}

} // namespace

FakeUinput::FakeUinput() : testbed(umockdev_testbed_new()), handler(umockdev_ioctl_base_new())
{
    if (!umockdev_in_mock_environment())
        throw std::runtime_error("run this under umockdev-wrapper");
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
    g_signal_connect(handler, "handle-write", G_CALLBACK(onWrite), this);
    g_signal_connect(handler, "handle-read", G_CALLBACK(onRead), this);
    umockdev_testbed_attach_ioctl(testbed, "/dev/uinput", handler, nullptr);
    umockdev_testbed_add_from_string(testbed,
                                     "P: /devices/virtual/misc/uinput\nN: uinput=00\n"
                                     "E: SUBSYSTEM=misc\nE: DEVNAME=/dev/uinput\n",
                                     nullptr);
}

FakeUinput::~FakeUinput()
{
    umockdev_testbed_detach_ioctl(testbed, "/dev/uinput", nullptr);
    g_object_unref(handler);
    g_object_unref(testbed);
}

std::vector<FakeUinput::Device> FakeUinput::devices() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return opened;
}

FakeUinput::Device FakeUinput::device(const std::string &name) const
{
    const std::vector<Device> all = devices();
    for (auto device = all.rbegin(); device != all.rend(); ++device) {
        if (device->name == name)
            return *device;
    }
    throw std::runtime_error("no device named " + name);
}

void FakeUinput::failWrites(int error)
{
    std::lock_guard<std::mutex> lock(mutex);
    write_error = error;
}

void FakeUinput::setLight(const std::string &name, int code, bool lit)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (auto device = opened.rbegin(); device != opened.rend(); ++device) {
        if (device->name == name) {
            input_event light{};
            light.type = EV_LED;
            light.code = static_cast<unsigned short>(code);
            light.value = lit;
            device->unread.push_back(light);
            return;
        }
    }
    throw std::runtime_error("no device named " + name);
}

// Whole events the creator has not read yet, or EAGAIN as for O_NONBLOCK.
int FakeUinput::onRead(UMockdevIoctlBase *, UMockdevIoctlClient *client, FakeUinput *self)
{
    std::lock_guard<std::mutex> lock(self->mutex);
    const auto entry = self->device_of_client.find(client);
    UMockdevIoctlData *data = umockdev_ioctl_client_get_arg(client);
    if (entry == self->device_of_client.end() || self->opened[entry->second].unread.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
    }
    std::vector<input_event> &unread = self->opened[entry->second].unread;
    const std::size_t count = std::min(unread.size(), static_cast<std::size_t>(data->data_len) / sizeof(input_event));
    std::memcpy(data->data, unread.data(), count * sizeof(input_event));
    unread.erase(unread.begin(), unread.begin() + static_cast<std::ptrdiff_t>(count));
    umockdev_ioctl_client_complete(client, static_cast<long>(count * sizeof(input_event)), 0);
    return TRUE;
}

std::string FakeUinput::rootDir() const
{
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    std::string path = root;
    g_free(root);
    return path;
}

std::string FakeUinput::nodePath() const
{
    return rootDir() + "/dev/uinput";
}

int FakeUinput::onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, FakeUinput *self)
{
    std::lock_guard<std::mutex> lock(self->mutex);
    auto [entry, added] = self->device_of_client.emplace(client, self->opened.size());
    if (added)
        self->opened.emplace_back();
    int error = 0;
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    const long result = self->ioctl(self->opened[entry->second], request, client, error);
    umockdev_ioctl_client_complete(client, result, error);
    // umockdev says nothing when a client goes, and a later open() may get
    // its memory: past its device's end a client names no device.
    if (request == UI_DEV_DESTROY)
        self->device_of_client.erase(entry);
    return TRUE;
}

int FakeUinput::onWrite(UMockdevIoctlBase *, UMockdevIoctlClient *client, FakeUinput *self)
{
    std::lock_guard<std::mutex> lock(self->mutex);
    const auto entry = self->device_of_client.find(client);
    UMockdevIoctlData *data = umockdev_ioctl_client_get_arg(client);
    int error = EINVAL;
    long result = -1;
    if (self->write_error) {
        error = self->write_error;
    } else if (entry != self->device_of_client.end()) {
        result = self->write(self->opened[entry->second], reinterpret_cast<const input_event *>(data->data),
                             static_cast<std::size_t>(data->data_len), error);
    }
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}

long FakeUinput::ioctl(Device &device, unsigned long request, UMockdevIoctlClient *client, int &error)
{
    error = EINVAL;
    const int highest = highestCode(request);
    if (highest >= 0) {
        const unsigned long code = argument(client);
        if (device.created || code > static_cast<unsigned long>(highest))
            return -1;
        device.codes.insert({eventType(request), static_cast<int>(code)});
        return 0;
    }
    if ((request & ~(_IOC_SIZEMASK << _IOC_SIZESHIFT)) == UI_GET_SYSNAME(0)) {
        if (!device.created)
            return error = ENOENT, -1;
        g_autoptr(UMockdevIoctlData) name = resolve(client, _IOC_SIZE(request));
        const std::string sysname = "input" + std::to_string(&device - opened.data() + 100);
        const std::size_t length = std::min<std::size_t>(sysname.size() + 1, _IOC_SIZE(request));
        std::memcpy(name->data, sysname.c_str(), length);
        return static_cast<long>(length);
    }
    switch (request) {
    case UI_GET_VERSION: {
        g_autoptr(UMockdevIoctlData) version = resolve(client, sizeof(unsigned int));
        *reinterpret_cast<unsigned int *>(version->data) = 5;
        return 0;
    }
    case UI_DEV_SETUP: {
        if (device.created)
            return -1;
        g_autoptr(UMockdevIoctlData) setup = resolve(client, sizeof(uinput_setup));
        const auto *values = reinterpret_cast<const uinput_setup *>(setup->data);
        device.name.assign(values->name, strnlen(values->name, UINPUT_MAX_NAME_SIZE));
        return device.name.empty() ? -1 : 0;
    }
    case UI_ABS_SETUP: {
        g_autoptr(UMockdevIoctlData) setup = resolve(client, sizeof(uinput_abs_setup));
        const auto *values = reinterpret_cast<const uinput_abs_setup *>(setup->data);
        if (device.created || values->code > ABS_MAX)
            return -1;
        device.axes[values->code] = values->absinfo;
        device.codes.insert({EV_ABS, values->code});
        return 0;
    }
    case UI_DEV_CREATE:
        if (device.created || device.name.empty())
            return -1;
        for (const auto &[code, axis] : device.axes) {
            if (axis.minimum > axis.maximum)
                return -1;
        }
        device.created = true;
        return 0;
    case UI_DEV_DESTROY:
        device.destroyed = device.created;
        device.created = false;
        return 0;
    }
    return -1;
}

// Like the kernel, a write takes as many whole events as it holds and
// refuses one shorter than a single event.
long FakeUinput::write(Device &device, const input_event *events, std::size_t bytes, int &error)
{
    error = EINVAL;
    if (!device.created || bytes < sizeof(input_event))
        return -1;
    const std::size_t count = bytes / sizeof(input_event);
    device.writes.emplace_back(events, events + count);
    device.write_order.push_back(writes_so_far++);
    device.write_times.push_back(std::chrono::steady_clock::now());
    for (std::size_t i = 0; i < count; ++i) {
        if (passesInputCore(device, events[i]))
            device.delivered.push_back(events[i]);
    }
    error = 0;
    return static_cast<long>(count * sizeof(input_event));
}
