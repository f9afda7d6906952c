#include "hwds/tuvak/adapters.h"
#include "hwds/tuvak/tuvak_devices.h"

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
            device.comName = tuvak::registryText(portName, size);
            if (os.serial != nullptr && !device.comName.empty())
                device.node = os.serial->deviceNode(("\\\\.\\" + device.comName).c_str());
        }
        devices->push_back(std::move(device));
    }
    return CE_OK;
}
