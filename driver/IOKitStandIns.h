// SPDX-License-Identifier: MIT
// The small driver framework the Tessel driver is written against: registry entries with
// names and children, services that attach to and detach from providers, the pointing
// service whose acceleration its driver sets, and user clients whose scalar methods are
// dispatched through a one-entry method table.
//
// Ownership: an entry never owns its children or providers. Whoever creates an entry
// keeps it alive (std::unique_ptr) while it is attached (the Tessel driver keeps its
// mouse's pointing service); destroying an entry detaches it from every provider and
// client, so no link ever dangles.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Status.h"

namespace korvid {

// Property dictionary handed to a pointing service: key → raw bytes.
using OSDictionary = std::map<std::string, std::vector<std::uint8_t>, std::less<>>;

class IORegistryEntry {
 public:
  explicit IORegistryEntry(std::string name = {}) : name_(std::move(name)) {}
  virtual ~IORegistryEntry();
  IORegistryEntry(const IORegistryEntry&) = delete;
  IORegistryEntry& operator=(const IORegistryEntry&) = delete;

  // The entry's name in the service plane; empty means it has none.
  const std::string& getName() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  bool compareName(std::string_view name) const { return !name_.empty() && name_ == name; }

  // Links this entry below `provider`. Refuses a null provider or itself; attaching
  // twice to the same provider keeps one link.
  bool attach(IORegistryEntry* provider);
  void detach(IORegistryEntry* provider);

  const std::vector<IORegistryEntry*>& children() const { return children_; }
  const std::vector<IORegistryEntry*>& parents() const { return parents_; }
  bool isAttachedTo(const IORegistryEntry* provider) const;

  // Boolean properties set on the entry.
  void setProperty(const std::string& key, bool value) { properties_[key] = value; }
  bool getBoolProperty(const std::string& key) const;

  // Every entry below this one, depth first, each entry before its children, children in
  // the order they were attached (the recursive iteration of the service plane).
  std::vector<IORegistryEntry*> EntriesBelow() const;

 private:
  std::string name_;
  std::vector<IORegistryEntry*> children_;
  std::vector<IORegistryEntry*> parents_;
  std::map<std::string, bool> properties_;
};

class IOUserClient;

// Identifies the process that opens a user client.
struct OwningTask {
  int pid = 0;
  unsigned uid = 0;
};

class IOService : public IORegistryEntry {
 public:
  using IORegistryEntry::IORegistryEntry;
  virtual bool start(IOService* provider);
  virtual void stop(IOService* provider);
  // The base service offers no user clients of any type.
  virtual IOReturn newUserClient(const OwningTask& owningTask, void* securityID, std::uint32_t type,
                                 std::unique_ptr<IOUserClient>& handler);
};

// The USB device and interface a driver starts on, with the identity the USB layer reports.
class IOUSBDevice : public IOService {
 public:
  struct Identity {
    std::uint16_t vendorID = 0;
    std::uint16_t productID = 0;
    std::uint16_t release = 0;  // bcdDevice
    std::uint16_t address = 0;  // the device's address on its bus
  };
  explicit IOUSBDevice(Identity identity) : IOService("IOUSBDevice"), identity_(identity) {}
  std::uint16_t GetVendorID() const { return identity_.vendorID; }
  std::uint16_t GetProductID() const { return identity_.productID; }
  std::uint16_t GetDeviceRelease() const { return identity_.release; }
  std::uint16_t GetAddress() const { return identity_.address; }

 private:
  Identity identity_;
};

class IOUSBInterface : public IOService {
 public:
  IOUSBInterface(IOUSBDevice* device, std::uint8_t interfaceNumber)
      : IOService("IOUSBInterface"), device_(device), interfaceNumber_(interfaceNumber) {}
  IOUSBDevice* GetDevice() const { return device_; }
  std::uint8_t GetInterfaceNumber() const { return interfaceNumber_; }

 private:
  IOUSBDevice* device_;
  std::uint8_t interfaceNumber_;
};

// The platform's HID driver; starting it runs handleStart.
class IOUSBHIDDriver : public IOService {
 public:
  using IOService::IOService;
  bool start(IOService* provider) override;
  virtual bool handleStart(IOService* provider);
};

// The pointing service of one mouse. Its driver sets the acceleration parameter (16.16,
// 0 = linear) directly; setParamProperties is the platform's dictionary form of the same
// call (driver/PointingRegistry.cpp).
class IOHIPointing : public IOService {
 public:
  IOHIPointing() : IOService("IOHIDPointing") {}
  virtual IOReturn SetAcceleration(std::int32_t parameter) = 0;
  // Takes "HIDMouseAcceleration" when it holds exactly 4 bytes (kIOReturnBadArgument for
  // another size) and answers what SetAcceleration answers; a dictionary without it
  // changes nothing and succeeds.
  IOReturn setParamProperties(const OSDictionary& properties);
};

// Scalar method entry: scalars in, scalars out.
inline constexpr std::uint32_t kIOUCScalarIScalarO = 0;

// The one shape of method the system uses: up to three scalar inputs and one output.
// Scalars reach the method as 32-bit values zero-extended, as for every legacy method.
using IOMethod = IOReturn (IOService::*)(std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t*);

struct IOExternalMethod {
  IOService* object = nullptr;
  IOMethod func = nullptr;
  std::uint32_t flags = kIOUCScalarIScalarO;
  std::uint32_t count0 = 0;  // scalar inputs
  std::uint32_t count1 = 0;  // scalar outputs
};

class IOUserClient : public IOService {
 public:
  IOUserClient() : IOService("IOUserClient") {}
  virtual bool init() { return true; }
  virtual IOReturn clientClose() { return kIOReturnUnsupported; }
  virtual IOReturn clientDied() { return clientClose(); }
  virtual IOReturn connectClient(IOUserClient*) { return kIOReturnUnsupported; }
  virtual IOExternalMethod* getExternalMethodForIndex(std::uint32_t) { return nullptr; }
};

// Largest number of scalars a call may carry in either direction.
inline constexpr std::size_t kMaxScalarCount = 16;

// Calls a scalar method of a user client: the method entry for `selector` must exist
// (else kIOReturnUnsupported) and the numbers of inputs and outputs must match it
// exactly (else kIOReturnBadArgument, and the method does not run). Every input must
// hold a 32-bit value, zero- or sign-extended (else kIOReturnBadArgument with the
// outputs 0, and the method does not run). On success `outputs` holds the method's
// outputs, the rest of it untouched.
IOReturn CallScalarMethod(IOUserClient& client, std::uint32_t selector, std::span<const std::uint64_t> inputs,
                          std::span<std::uint64_t> outputs);

}  // namespace korvid
