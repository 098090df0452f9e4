#include "serial/usb_adapter.h"

#include <QSerialPortInfo>
#include <filesystem>

namespace oxu {

UsbAdapter findUsbAdapter(const std::string& device) {
    UsbAdapter adapter;
    std::error_code error;
    const std::filesystem::path target = std::filesystem::canonical(device, error);
    if (error)
        return adapter;
    const QString location = QString::fromStdString(target.string());
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (info.systemLocation() != location)
            continue;
        adapter.listed = true;
        if (info.hasVendorIdentifier())
            adapter.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            adapter.productId = info.productIdentifier();
        adapter.serialNumber = info.serialNumber().toStdString();
        adapter.manufacturer = info.manufacturer().toStdString();
        adapter.product = info.description().toStdString();
    }
    return adapter;
}

}  // namespace oxu
