#include "SourceImage.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <limits>

#include "LocalPath.h"
#include "Posix.h"

SourceImage ReadSourceImage(const QString& sSource) {
    SourceImage image;
    image.fault = SourceFault::Unreadable;
    if (sSource.isEmpty()) {
        return image;
    }
    struct stat st {};
    const posix::UniqueFd fd =
        posix::openRegularFile(AT_FDCWD, LocalPath::encode(sSource).constData(), 0, &st);
    if (!fd.valid()) {
        return image;
    }
    image.nActualLength = st.st_size;
    if (st.st_size > std::numeric_limits<int32_t>::max()) {
        image.fault = SourceFault::TooLarge;
        return image;
    }
    const auto nLength = static_cast<int32_t>(st.st_size);
    if (!image.bytes.allocate(static_cast<size_t>(nLength))) {
        return image;
    }
    // Fewer bytes than the size said: an error, or the file shrank while it was read.
    if (posix::readFull(fd.get(), image.bytes.get(), static_cast<size_t>(nLength)) != nLength) {
        image.bytes.reset();
        return image;
    }
    image.nLength = nLength;
    image.fault = SourceFault::None;
    return image;
}
