// The Remote API session: a request's command picks its operation from the table of the
// session's protocol version, and the operation's handler answers it. A request that is cut
// short or malformed gets its call's failure with ERROR_INVALID_PARAMETER; a command the
// handheld does not offer gets the reply SynCE's library reads as a failure of that call; the
// stream goes on either way.

#include "RapiWire.h"

#include <algorithm>

#include "DevicePath.h"
#include "WireOps.h"

namespace wire {

namespace {

// A wire path is absolute ("\Storage Card\x", "/" taken as "\"), a device path is relative to
// the root; a path without a leading separator is taken from the root too.
std::u16string DevicePathOf(std::u16string path) {
    std::replace(path.begin(), path.end(), u'/', u'\\');
    if (!path.empty() && path.front() == u'\\') {
        path.erase(0, 1);
    }
    return path;
}

}  // namespace

namespace ops {

bool Call::path(std::u16string& devicePath, StringForm form) {
    std::u16string text;
    if (!v1()) {
        const uint32_t size = in.u32();
        text = in.unitsOfBytes(size);
        if (!in.ok() || size == 0) {
            return false;
        }
    } else {
        if (in.u32() != 1) {
            return false;  // no string: the call's parameter is missing
        }
        if (form == StringForm::Optional) {
            const uint32_t size = in.u32();
            if (in.u32() != 1) {
                return false;
            }
            text = in.unitsOfBytes(size);
        } else {
            text = in.units(in.u32());
        }
        if (!in.ok()) {
            return false;
        }
    }
    devicePath = DevicePathOf(std::move(text));
    return true;
}

void Call::reply(uint32_t lastError) {
    if (v1()) {
        out.u32(0);
    }
    if ((op_.noLastError & (v1() ? kNoErrorInV1 : kNoErrorInV2)) == 0) {
        out.u32(lastError);
    }
}

void Call::fail(uint32_t lastError) {
    reply(lastError);
    for (uint8_t i = 0; i < op_.failCount; ++i) {
        out.u32(op_.failFields[i]);
    }
}

void PutFindData(const CE_FIND_DATA& data, Writer& out) {
    size_t units = 0;
    while (units < static_cast<size_t>(kMaxPath) - 1 && data.cFileName[units] != 0) {
        ++units;
    }
    out.u32(static_cast<uint32_t>(offsetof(CE_FIND_DATA, cFileName) + (units + 1) * 2));
    out.u32(data.dwFileAttributes);
    for (const auto& t : {data.ftCreationTime, data.ftLastAccessTime, data.ftLastWriteTime}) {
        out.u32(t.dwLowDateTime);
        out.u32(t.dwHighDateTime);
    }
    out.u32(data.nFileSizeHigh);
    out.u32(data.nFileSizeLow);
    out.u32(data.dwOID);
    out.units(std::u16string_view(data.cFileName, units));
    out.units(std::u16string_view(u"", 1));  // its NUL
}

}  // namespace ops

int ProtocolFor(OsVersion os) {
    return os.major > 4 && os.minor > 0 ? 2 : 1;
}

Session::Session(handheld::EmulatedHandheld& device, OsVersion os)
    : state_(std::make_unique<ops::State>(ops::State{device, os, ProtocolFor(os), {}, {}, {}})) {
    for (const auto table : {ops::FileOperations(), ops::SystemOperations()}) {
        for (const ops::Operation& op : table) {
            const uint32_t command = state_->protocol == 1 ? op.v1 : op.v2;
            if (command < kCommands) {
                operations_[command] = &op;
            }
        }
    }
}

Session::~Session() = default;

int Session::protocol() const {
    return state_->protocol;
}

const ops::Operation* Session::operationOf(uint32_t command) const {
    return command < kCommands ? operations_[command] : nullptr;
}

// Version 1 fails the call as a whole: [1][HRESULT of ERROR_NOT_SUPPORTED]. Version 2 has no
// such reply: the last error alone, so that every read of a result after it fails and SynCE's
// library keeps the failure value it starts each result at (FALSE, an invalid handle, an error
// code, no entries).
void Session::unsupported(std::string& reply) const {
    Writer out(reply);
    if (state_->protocol == 1) {
        out.u32(1);
        out.u32(0x80070000u | ops::kNotSupported);
    } else {
        out.u32(ops::kNotSupported);
    }
}

void Session::answer(std::string_view request, std::string& reply) {
    Reader in(request);
    const uint32_t command = in.u32();
    const ops::Operation* op = in.ok() ? operationOf(command) : nullptr;
    if (op == nullptr) {
        return unsupported(reply);
    }
    Writer out(reply);
    ops::Call call(*state_, in, out, *op);
    op->handle(call);
}

void Session::answerOversized(uint32_t command, std::string& reply) {
    const ops::Operation* op = operationOf(command);
    if (op == nullptr) {
        return unsupported(reply);
    }
    Reader in({});
    Writer out(reply);
    ops::Call(*state_, in, out, *op).fail(ops::kNotEnoughMemory);
}

void Session::end() {
    auto& device = state_->device;
    for (const RAPI_HANDLE h : state_->files) {
        // A write while the handheld is gone drops what this handle half wrote; while it is
        // there, it takes nothing. Then the handle is closed like any the client left open.
        RAPI_DWORD written = 0;
        device.CeWriteFile(h, "", 0, &written, nullptr);
        device.CeCloseHandle(h);
    }
    state_->files.clear();
    state_->searches.clear();
    std::string().swap(state_->readBuffer);
    device.CeRapiUninit();
}

}  // namespace wire
