#include "hwds/tuvak/adapters.h"
#include "hwds/tuvak/tuvak_devices.h"
#include "platform/text.h"

CeResult hwdsListTuvak(std::vector<HwTuvakDevice>* devices) {
    if (devices == nullptr) return CE_BAD_PARAM;
    devices->clear();
    const platform::Services& os = platform::current();
    if (os.registry == nullptr) return CE_HW_NOT_FOUND;

    std::vector<tuvak::AdapterEntry> entries;
    const auto walk = tuvak::heldAdapterEntries(*os.registry, &entries);
    if (walk == tuvak::AdapterWalk::NoDriver) return CE_HW_NOT_FOUND;
    if (walk == tuvak::AdapterWalk::CountFailed) return CE_HW_FAIL;

    for (const tuvak::AdapterEntry& entry : entries) {
        if (!entry.readable || tuvak::identifierOf(entry).empty()) continue;
        HwTuvakDevice device;
        device.id = tuvak::identifierOf(entry);
        char portName[tuvak::kPortNameCapacity];
        uint32_t size = 0;
        if (tuvak::readPortName(*os.registry, entry, portName, &size)) {
            device.comName = platform::registryText(portName, size);
            if (os.serial != nullptr && !device.comName.empty())
                device.node = os.serial->deviceNode((platform::kPortPathPrefix + device.comName).c_str());
        }
        devices->push_back(std::move(device));
    }
    return CE_OK;
}

bool hwdsTuvakDriverInstalled() {
    platform::Registry* registry = platform::current().registry;
    return registry != nullptr && tuvak::driverKeyOpens(*registry);
}

void hwdsReadTuvakEntries(HwTuvakEntries* entries) {
    *entries = HwTuvakEntries();
    platform::Registry* registry = platform::current().registry;
    if (registry == nullptr) return;
    const tuvak::AdapterEnum adapters(*registry);
    entries->counted = adapters.counted();
    entries->count = adapters.count();
    for (const uint32_t number : adapters.heldBelow(adapters.count())) {
        HwTuvakEntry entry;
        entry.number = number;
        if (adapters.entryText(number, TUVAK_ENTRY_CAPACITY, &entry.text)) entries->held.push_back(std::move(entry));
    }
}
