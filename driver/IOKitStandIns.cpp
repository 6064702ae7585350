// SPDX-License-Identifier: MIT
#include "driver/IOKitStandIns.h"

#include <algorithm>

namespace korvid {

namespace {
void Erase(std::vector<IORegistryEntry*>& links, const IORegistryEntry* entry) {
  links.erase(std::remove(links.begin(), links.end(), entry), links.end());
}
}  // namespace

IORegistryEntry::~IORegistryEntry() {
  for (IORegistryEntry* parent : parents_) Erase(parent->children_, this);
  for (IORegistryEntry* child : children_) Erase(child->parents_, this);
}

bool IORegistryEntry::attach(IORegistryEntry* provider) {
  if (provider == nullptr || provider == this) return false;
  if (isAttachedTo(provider)) return true;
  parents_.push_back(provider);
  provider->children_.push_back(this);
  return true;
}

void IORegistryEntry::detach(IORegistryEntry* provider) {
  if (provider == nullptr || !isAttachedTo(provider)) return;
  Erase(parents_, provider);
  Erase(provider->children_, this);
}

bool IORegistryEntry::isAttachedTo(const IORegistryEntry* provider) const {
  return std::find(parents_.begin(), parents_.end(), provider) != parents_.end();
}

bool IORegistryEntry::getBoolProperty(const std::string& key) const {
  auto it = properties_.find(key);
  return it != properties_.end() && it->second;
}

std::vector<IORegistryEntry*> IORegistryEntry::EntriesBelow() const {
  std::vector<IORegistryEntry*> order;
  // Explicit stack, children pushed in reverse so they come out in attach order.
  std::vector<IORegistryEntry*> stack(children_.rbegin(), children_.rend());
  while (!stack.empty()) {
    IORegistryEntry* entry = stack.back();
    stack.pop_back();
    // An entry reachable along two paths is visited once.
    if (std::find(order.begin(), order.end(), entry) != order.end()) continue;
    order.push_back(entry);
    stack.insert(stack.end(), entry->children_.rbegin(), entry->children_.rend());
  }
  return order;
}

bool IOService::start(IOService*) { return true; }

void IOService::stop(IOService*) {}

IOReturn IOService::newUserClient(const OwningTask&, void*, std::uint32_t, std::unique_ptr<IOUserClient>& handler) {
  handler.reset();
  return kIOReturnUnsupported;
}

bool IOUSBHIDDriver::start(IOService* provider) {
  if (!IOService::start(provider)) return false;
  return handleStart(provider);
}

bool IOUSBHIDDriver::handleStart(IOService* provider) { return provider != nullptr; }

IOReturn CallScalarMethod(IOUserClient& client, std::uint32_t selector, std::span<const std::uint64_t> inputs,
                          std::span<std::uint64_t> outputs) {
  IOExternalMethod* method = client.getExternalMethodForIndex(selector);
  if (method == nullptr || method->object == nullptr || method->func == nullptr) return kIOReturnUnsupported;
  if (method->flags != kIOUCScalarIScalarO) return kIOReturnUnsupported;
  if (inputs.size() != method->count0 || outputs.size() != method->count1) return kIOReturnBadArgument;
  if (method->count0 > 3 || method->count1 > 1) return kIOReturnBadArgument;

  // Each scalar reaches the method as 32 bits, zero-extended. One that holds no 32-bit
  // value (zero- or sign-extended) is refused, never cut to another command or value.
  std::uint64_t in[3] = {0, 0, 0};
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (inputs[i] > 0xFFFF'FFFFu && inputs[i] < 0xFFFF'FFFF'8000'0000u) {
      std::fill(outputs.begin(), outputs.end(), 0);
      return kIOReturnBadArgument;
    }
    in[i] = inputs[i] & 0xFFFFFFFFu;
  }
  std::uint64_t out = 0;
  IOReturn result = (method->object->*(method->func))(in[0], in[1], in[2], outputs.empty() ? nullptr : &out);
  if (!outputs.empty()) outputs[0] = out & 0xFFFFFFFFu;
  return result;
}

}  // namespace korvid
