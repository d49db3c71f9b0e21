#pragma once

#include <linux/input.h>

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

// /dev/uinput in a umockdev test bed, answering as the kernel does where it
// matters: setup before create, no capability changes after it, whole
// input_events on write, and events for codes a device never declared
// dropped while the write still succeeds. Each open() is one device.
// The process must run under umockdev-wrapper.
class FakeUinput
{
public:
    // Stand-ins for the type in Device::codes of event types and properties.
    static constexpr int EventTypes = -1;
    static constexpr int Properties = -2;

    struct Device
    {
        std::string name;
        std::set<std::pair<int, int>> codes; // (type, code) declared
        std::map<int, input_absinfo> axes;
        bool created = false;
        bool destroyed = false;
        std::vector<std::vector<input_event>> writes;
        std::vector<int> write_order; // of each write among all devices' writes
        std::vector<std::chrono::steady_clock::time_point> write_times;
        // What the kernel would pass on to readers of the event node.
        std::vector<input_event> delivered;
        std::set<int> keys_down;
        std::map<int, int> axis_values;
        std::vector<input_event> unread; // for the creator to read back
    };

    FakeUinput();
    ~FakeUinput();
    FakeUinput(const FakeUinput &) = delete;
    FakeUinput &operator=(const FakeUinput &) = delete;

    // Devices in the order they were opened.
    std::vector<Device> devices() const;
    // The latest device of that name.
    Device device(const std::string &name) const;
    // Later writes fail with this errno; 0 lets them through again.
    void failWrites(int error);
    // A light set on the latest device of that name, as a desktop sets it:
    // the kernel hands it back to the device's creator, whose next read()
    // takes it.
    void setLight(const std::string &name, int code, bool lit);
    std::string nodePath() const;
    std::string rootDir() const;

private:
    static int onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, FakeUinput *self);
    static int onWrite(UMockdevIoctlBase *, UMockdevIoctlClient *client, FakeUinput *self);
    static int onRead(UMockdevIoctlBase *, UMockdevIoctlClient *client, FakeUinput *self);
    long ioctl(Device &device, unsigned long request, UMockdevIoctlClient *client, int &error);
    long write(Device &device, const input_event *events, std::size_t bytes, int &error);

    UMockdevTestbed *testbed;
    UMockdevIoctlBase *handler;
    mutable std::mutex mutex;
    std::map<UMockdevIoctlClient *, std::size_t> device_of_client;
    std::vector<Device> opened;
    int write_error = 0;
    int writes_so_far = 0;
};
