#include "runs/image.h"

#include <sys/stat.h>

#include <QCryptographicHash>
#include <filesystem>

#include "protocol/firmware_image.h"

namespace oxu::runs {

std::string sha256Hex(ByteView bytes) {
    const QByteArray digest =
        QCryptographicHash::hash(QByteArrayView(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<qsizetype>(bytes.size())),
                                 QCryptographicHash::Sha256);
    return digest.toHex().toStdString();
}

bool ImageSnapshot::Stamp::operator==(const Stamp& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

bool ImageSnapshot::stampOf(const std::string& path, Stamp* stamp) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return false;
    *stamp = {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
    return true;
}

ImageSnapshot ImageSnapshot::take(const std::string& path) {
    ImageSnapshot image;
    image.m_path = path;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    image.m_absolutePath = error ? path : absolute.lexically_normal().string();
    // Stamped before it is read: a change while it is read shows later.
    stampOf(path, &image.m_stamp);
    const FirmwareCheck check = checkFirmwareFile(path);
    if (!check.ok())
        throw ImageError(check.problem);
    try {
        image.m_bytes = Lire(path);
    } catch (const FirmwareReadError& failure) {
        throw ImageError(failure.what());
    }
    if (image.m_bytes.size() != check.size)
        throw ImageError("the firmware file \"" + path + "\" changed while it was read (" +
                         std::to_string(check.size) + " bytes expected, " +
                         std::to_string(image.m_bytes.size()) + " read)");
    image.m_sha256 = sha256Hex(image.m_bytes);
    return image;
}

int ImageSnapshot::pages() const {
    return static_cast<int>(pageCount(m_bytes.size()));
}

bool ImageSnapshot::changedOnDisk() const {
    if (m_changed)
        return true;
    Stamp now;
    if (stampOf(m_path, &now) && now == m_stamp)
        return false;
    // Touched or rewritten: only other bytes count. Gone, unreadable or too
    // large is not what was sent either.
    try {
        m_changed = !checkFirmwareFile(m_path).ok() || sha256Hex(Lire(m_path)) != m_sha256;
    } catch (const FirmwareReadError&) {
        m_changed = true;
    }
    if (!m_changed)
        m_stamp = now;
    return m_changed;
}

}  // namespace oxu::runs
