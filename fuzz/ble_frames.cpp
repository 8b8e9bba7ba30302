// Notification data as a BLE appliance could send it: the first byte picks the protocol
// version, the rest goes through the splitter, the checker, the parser, the reassembly buffer
// and the key-exchange reply reader.
#include <cstddef>
#include <cstdint>

#include "blecore/QKBLEProtocol.h"

using telvo::Bytes;
using telvo::ByteView;
using telvo::QKBLEProtocol;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const Bytes key(16, 0x42);
    const int64_t version = data[0] & 3;
    const ByteView input(data + 1, size - 1);
    size_t delivered = 0;
    QKBLEProtocol::parseReceiveData(Bytes(input.begin(), input.end()), version,
                                    [&](int64_t code, const std::optional<Bytes>& piece) {
                                        if (code == QKBLEProtocol::kReceiveFrame) {
                                            if (!QKBLEProtocol::checkNumWithData(*piece, version))
                                                __builtin_trap();
                                            QKBLEProtocol::initProtocolData(*piece, key, version);
                                        }
                                        delivered += piece ? piece->size() : 0;
                                    });
    if (delivered > input.size()) __builtin_trap();
    QKBLEProtocol::checkNumWithData(input, version);
    if (auto parsed = QKBLEProtocol::initProtocolData(input, key, version))
        if (parsed->decrptMsgBody())
            QKBLEProtocol::dicForAesKeyReplyWithData(*parsed->decrptMsgBody());
    QKBLEProtocol::dicForAesKeyReplyWithData(input);

    telvo::QKBLEFrameAssembler assembler;
    for (size_t at = 0; at < input.size(); at += 7)
        assembler.receive(input.subspan(at, std::min<size_t>(7, input.size() - at)), version,
                          [&](Bytes frame) {
                              if (!QKBLEProtocol::checkNumWithData(frame, version))
                                  __builtin_trap();
                              // Frames that do not decrypt leave the other readings in play.
                              auto parsed = QKBLEProtocol::initProtocolData(frame, key, version);
                              return parsed && parsed->decrptMsgBody().has_value();
                          });
    if (assembler.pendingSize() > telvo::QKBLEFrameAssembler::kCapacity) __builtin_trap();
    if (assembler.heldSize() >
        (telvo::QKBLEFrameAssembler::kMaxReadings + 1) * telvo::QKBLEFrameAssembler::kCapacity)
        __builtin_trap();
    return 0;
}
