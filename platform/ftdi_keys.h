// The FTDI virtual-COM driver's registry data, named once for the tool, the
// serial source and the POSIX sysfs view.
#pragma once

namespace platform::ftdi {

inline constexpr char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\FTSER2K";
inline constexpr char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum";
// An instance's parameters: head, instance path, tail.
inline constexpr char kDeviceKeyHead[] = "SYSTEM\\CurrentControlSet\\Enum\\";
inline constexpr char kDeviceKeyTail[] = "\\Device Parameters";
inline constexpr char kPortNameValue[] = "PortName";
inline constexpr char kCountValue[] = "Count";
// Device node (value name) to COM name (data).
inline constexpr char kSerialCommKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// What an instance path of a Тувак device's adapter begins with.
inline constexpr char kInstancePrefix[] = "FTDIBUS\\VID_0403+PID_6001+";

}  // namespace platform::ftdi
