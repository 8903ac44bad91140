#include "tools/host/bare_device.hpp"

#include "driver/usbdi.h"

namespace mpegunit {

NTSTATUS configureBareDevice(DeviceContext* device) {
  const NTSTATUS status = UsbConfigureDevice(device);
  if (!NT_SUCCESS(status)) return status;
  device->BulkIrp = IoAllocateIrp(device->RealPhysicalDeviceObject->StackSize, FALSE);
  device->BulkUrb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), MPEGUNIT_POOL_TAG));
  device->ResetPipeUrb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_PIPE_REQUEST), MPEGUNIT_POOL_TAG));
  if (!device->BulkIrp || !device->BulkUrb || !device->ResetPipeUrb) return STATUS_INSUFFICIENT_RESOURCES;
  return status;
}

void releaseBareDevice(DeviceContext* device) {
  if (device->BulkIrp) IoFreeIrp(device->BulkIrp);
  if (device->BulkUrb) ExFreePool(device->BulkUrb);
  if (device->ResetPipeUrb) ExFreePool(device->ResetPipeUrb);
  if (device->InterfaceInformation) ExFreePool(device->InterfaceInformation);
  if (device->ConfigurationDescriptor) ExFreePool(device->ConfigurationDescriptor);
  device->BulkIrp = nullptr;
  device->BulkUrb = nullptr;
  device->ResetPipeUrb = nullptr;
  device->InterfaceInformation = nullptr;
  device->ConfigurationDescriptor = nullptr;
}

}  // namespace mpegunit
