// The SCSI correlator's view beyond one observation: the datastores on a
// device, lost and restored connectivity or redundancy when a path goes down
// and comes back, and the counting that turns a storm of path state changes
// or power-on resets into one event per path (or device) and window.
//
// Everything here runs on the SCSI correlator's thread only; the state (the
// paths reported down, the two counters and their windows) has no lock.
// Lookups go to the kernel-control library and the volume lookup of the
// cluster file system driver; a HostCtl::Lib::HostCtlException thrown by the
// library is not caught here and ends the calling handler.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The device that `path` leads to; empty when the host has no such path.
std::optional<std::string> DeviceForPath(const std::string &path);
// The path figure of the device's LUN (0: none; 1, 2, 3 select the events);
// empty when the host has no such LUN.
std::optional<uint32_t> DevicePathFigure(const std::string &device);
// The names of the volumes on the device's partitions, each in double
// quotes, separated by ", ", in partition order, each once. Empty when the
// device has no partitions, none holds a volume, or a lookup failed.
std::optional<std::string> DatastoresForDevice(const std::string &device);
// DatastoresForDevice, or "Unknown" when it fails.
std::string DatastoresOrUnknown(const std::string &device);

// Forgets all path state and starts every window at `now` (wall-clock
// seconds). Called once when the correlator starts.
void ScsiPathState_Start(int64_t now);

// Counts one change of `path`: a state change (both flags false), an
// addition or a removal. Posts the path-state-changes event when the count
// reaches 10 within the windows.
void PathChange_Note(const std::string &path, bool added, bool removed);
// Counts one power-on reset of `name`, a path or (when no path has that
// name) a device, and posts the path or device variant at 10.
void PowerOnReset_Note(const std::string &name);

// A path that went dead or off from `previous` ("on" or "standby" report the
// loss); `previous` may be null. Counts as a path change either way.
void PathState_Down(const std::string &path, const char *previous);
// A path that came on or to standby from `previous` ("off" or "dead" report
// the restoration of a loss reported before); `previous` may be null.
void PathState_Up(const std::string &path, const char *previous);
