#include "security/QKVPCCMCrypt.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "platform/crypto/Crypto.h"
#include "platform/dispatch/DispatchQueue.h"
#include "security/QKVPCCModel.h"

namespace telvo {
namespace {

namespace fs = std::filesystem;

// The parameters of one message, borrowed.
struct CcmParams {
    ByteView key, iv, adata;
    int64_t tagLength;
    size_t bufferSize;
};

// The parameters copied for work on the queue.
struct Owned {
    Bytes key, iv, adata;
    int64_t tagLength;
    size_t bufferSize;
    ~Owned() { crypto::cleanse(key.data(), key.size()); }
    CcmParams params() const { return {key, iv, adata, tagLength, bufferSize}; }
};

// Receives each processed piece; false when it cannot take it (a write failed).
using Sink = std::function<bool(ByteView)>;
// Runs once the input is known good, before the first piece; false when the output cannot
// be opened.
using Prepare = std::function<bool()>;

ErrorPtr modelError(const QKVPCCModel& model) {
    return QKVPCCMCrypt::createErrorObject(model.errorMessage(), model.errorNumber());
}

ErrorPtr fileError(const char* what, const fs::path& path) {
    return QKVPCCMCrypt::createErrorObject(std::string(what) + " " + path.string(),
                                           QKVPCCModel::kFileError);
}

ErrorPtr tooShort() {
    return QKVPCCMCrypt::createErrorObject("Cipher text is too short",
                                           QKVPCCModel::kCipherTextTooShort);
}

// Whether a whole message goes through the platform's CCM in one pass (CTR and CBC-MAC
// interleaved), which gives the same bytes as the engine's pieces: when the engine takes the
// parameters. The engine names what it refuses, and its pieces serve files and streams.
bool inOnePass(const CcmParams& s, bool sealing, size_t inputSize) {
    if (s.tagLength < 0 || (!sealing && inputSize < static_cast<size_t>(s.tagLength))) return false;
    const uint64_t length = sealing ? inputSize : inputSize - static_cast<size_t>(s.tagLength);
    return QKVPCCModel::check(s.key.size(), s.iv.size(), s.adata.size(), s.tagLength, length) == 0;
}

// A whole message in one pass into a new buffer; nothing when the tag does not verify or the
// platform fails (the buffer's bytes wiped first).
[[gnu::always_inline]] inline std::optional<Bytes> onePass(const CcmParams& s, bool sealing,
                                                           ByteView input) {
    const size_t tag = static_cast<size_t>(s.tagLength);
    std::optional<Bytes> out(std::in_place, sealing ? input.size() + tag : input.size() - tag);
    if (!crypto::aesCcm(sealing, s.key, s.iv, s.adata, tag, input, std::span<uint8_t>(*out)))
        out.reset();
    return out;
}

// A whole message in one pass when it goes that way: no error, or a tag that does not verify;
// nothing when the engine is to run (a failed seal runs there too).
std::optional<ErrorPtr> wholeMessage(const CcmParams& s, bool sealing, ByteView input, Bytes& out,
                                     int64_t* bytesLeft) {
    if (!inOnePass(s, sealing, input.size())) return std::nullopt;
    if (auto done = onePass(s, sealing, input)) {
        out = std::move(*done);
        *bytesLeft = 0;
        return ErrorPtr();
    }
    if (sealing) return std::nullopt;  // the engine reports what went wrong
    *bytesLeft = 0;
    return QKVPCCMCrypt::createErrorObject(QKVPCCModel::messageFor(QKVPCCModel::kInvalidTag),
                                           QKVPCCModel::kInvalidTag);
}

ErrorPtr sealData(const CcmParams& s, ByteView plaintext, Bytes& out, int64_t* bytesLeft) {
    if (s.tagLength < 0)
        return QKVPCCMCrypt::createErrorObject("Invalid tag length",
                                               QKVPCCModel::kInvalidParameters);
    if (auto done = wholeMessage(s, true, plaintext, out, bytesLeft)) return *done;
    QKVPCCModel model(s.key, s.iv, s.adata, s.tagLength, plaintext.size());
    if (!model.ok()) return modelError(model);
    out.assign(plaintext.size() + static_cast<size_t>(s.tagLength), 0);
    *bytesLeft = static_cast<int64_t>(plaintext.size());
    for (size_t offset = 0; offset < plaintext.size(); offset += s.bufferSize) {
        size_t n = std::min(s.bufferSize, plaintext.size() - offset);
        if (!model.encryptBlock(plaintext.data() + offset, out.data() + offset, n))
            return modelError(model);
        *bytesLeft -= static_cast<int64_t>(n);
    }
    auto tag = model.getTag();
    if (!tag) return modelError(model);
    std::copy(tag->begin(), tag->end(), out.begin() + static_cast<ptrdiff_t>(plaintext.size()));
    return nullptr;
}

ErrorPtr openData(const CcmParams& s, ByteView sealed, Bytes& out, int64_t* bytesLeft) {
    if (s.tagLength < 0)
        return QKVPCCMCrypt::createErrorObject("Invalid tag length",
                                               QKVPCCModel::kInvalidParameters);
    if (sealed.size() < static_cast<size_t>(s.tagLength)) return tooShort();
    if (auto done = wholeMessage(s, false, sealed, out, bytesLeft)) return *done;
    const size_t length = sealed.size() - static_cast<size_t>(s.tagLength);
    QKVPCCModel model(s.key, s.iv, s.adata, s.tagLength, length);
    if (!model.ok()) return modelError(model);
    out.assign(length, 0);
    *bytesLeft = static_cast<int64_t>(length);
    for (size_t offset = 0; offset < length; offset += s.bufferSize) {
        size_t n = std::min(s.bufferSize, length - offset);
        if (!model.decryptBlock(sealed.data() + offset, out.data() + offset, n)) break;
        *bytesLeft -= static_cast<int64_t>(n);
    }
    if (model.ok()) model.verifyTag(sealed.subspan(length));
    if (!model.ok()) {
        crypto::cleanse(out.data(), out.size());
        out.clear();
        return modelError(model);
    }
    return nullptr;
}

// Seals or opens a file in pieces. Opening checks the stored tag before anything is handed
// out, and again at the end in case the file changed in between.
ErrorPtr processFile(const CcmParams& s, const fs::path& source, bool sealing,
                     const Prepare& prepare, const Sink& sink) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(source, ec);
    std::ifstream in(source, std::ios::binary);
    if (!in || ec) return fileError("Cannot read", source);
    if (!sealing && (s.tagLength < 0 || size < static_cast<uintmax_t>(s.tagLength)))
        return tooShort();
    const uintmax_t length = sealing ? size : size - static_cast<uintmax_t>(s.tagLength);
    if (!sealing) {
        QKVPCCModel check(s.key, s.iv, s.adata, s.tagLength, length);
        if (!check.ok() || !check.verifyTagWithFileURL(source)) return modelError(check);
    }
    QKVPCCModel model(s.key, s.iv, s.adata, s.tagLength, length);
    if (!model.ok()) return modelError(model);
    if (prepare && !prepare()) return fileError("Cannot write", source);
    Bytes piece(s.bufferSize);
    for (uintmax_t left = length; left;) {
        const size_t n = static_cast<size_t>(std::min<uintmax_t>(s.bufferSize, left));
        if (!in.read(reinterpret_cast<char*>(piece.data()), static_cast<std::streamsize>(n)))
            return fileError("Cannot read", source);
        bool done = sealing ? model.encryptBlock(piece.data(), piece.data(), n)
                            : model.decryptBlock(piece.data(), piece.data(), n);
        if (!done) return modelError(model);
        if (!sink(ByteView(piece).first(n))) return fileError("Cannot write", source);
        left -= n;
    }
    crypto::cleanse(piece.data(), piece.size());
    if (sealing) {
        auto tag = model.getTag();
        if (!tag) return modelError(model);
        return sink(*tag) ? nullptr : fileError("Cannot write", source);
    }
    uint8_t tag[16];
    if (!in.read(reinterpret_cast<char*>(tag), static_cast<std::streamsize>(s.tagLength)))
        return fileError("Cannot read", source);
    if (!model.verifyTag(ByteView(tag, static_cast<size_t>(s.tagLength)))) return modelError(model);
    return nullptr;
}

// Copies from to to; a piece of 8 to 32 bytes (a key, a nonce, a message's associated data)
// through words, without a library call.
void copyShort(uint8_t* to, ByteView from) {
    const size_t n = from.size();
    uint64_t w[4];
    if (n >= 8 && n <= 16) {
        std::memcpy(&w[0], from.data(), 8);
        std::memcpy(&w[1], from.data() + n - 8, 8);
        std::memcpy(to, &w[0], 8);
        std::memcpy(to + n - 8, &w[1], 8);
    } else if (n > 16 && n <= 32) {
        std::memcpy(&w[0], from.data(), 16);
        std::memcpy(&w[2], from.data() + n - 16, 16);
        std::memcpy(to, &w[0], 16);
        std::memcpy(to + n - 16, &w[2], 16);
    } else if (n) {
        std::memcpy(to, from.data(), n);
    }
}

std::shared_ptr<const Owned> copyOf(const QKVPCCMCrypt& c) {
    return std::make_shared<const Owned>(Owned{Bytes(c.key().begin(), c.key().end()),
                                               Bytes(c.iv().begin(), c.iv().end()),
                                               Bytes(c.adata().begin(), c.adata().end()),
                                               c.tagLength(), static_cast<size_t>(c.bufferSize())});
}

void onNewQueue(std::function<void()> work) {
    DispatchQueue::createSerial("com.vpccm.bgqueue")->async(std::move(work));
}

void report(const ErrorPtr& failure, const QKVPCCMCrypt::ErrorBlock& error,
            const std::function<void()>& success) {
    if (failure) {
        if (error) error(failure);
    } else if (success) {
        success();
    }
}

// A file-to-file run: the destination opens when the input is known good and is removed
// when the run fails after that.
void toFile(std::shared_ptr<const Owned> p, fs::path source, fs::path dest, bool sealing,
            QKVPCCMCrypt::DoneBlock finished, QKVPCCMCrypt::ErrorBlock error) {
    onNewQueue([p = std::move(p), source = std::move(source), dest = std::move(dest), sealing,
                finished = std::move(finished), error = std::move(error)] {
        std::ofstream out;
        auto prepare = [&] {
            out.open(dest, std::ios::binary | std::ios::trunc);
            return out.is_open();
        };
        auto sink = [&](ByteView piece) {
            return static_cast<bool>(out.write(reinterpret_cast<const char*>(piece.data()),
                                               static_cast<std::streamsize>(piece.size())));
        };
        ErrorPtr failure = processFile(p->params(), source, sealing, prepare, sink);
        if (!failure && !out.flush()) failure = fileError("Cannot write", dest);
        const bool opened = out.is_open();
        out.close();
        if (failure && opened) {
            std::error_code ec;
            fs::remove(dest, ec);
        }
        report(failure, error, finished);
    });
}

void toStream(std::shared_ptr<const Owned> p, fs::path source, bool sealing,
              QKVPCCMCrypt::DataBlock dataBlock, QKVPCCMCrypt::ErrorBlock error) {
    onNewQueue([p = std::move(p), source = std::move(source), sealing,
                dataBlock = std::move(dataBlock), error = std::move(error)] {
        auto sink = [&](ByteView piece) {
            if (dataBlock) dataBlock(Bytes(piece.begin(), piece.end()));
            return true;
        };
        ErrorPtr failure = processFile(p->params(), source, sealing, nullptr, sink);
        report(failure, error, nullptr);
    });
}

}  // namespace

QKVPCCMCrypt::QKVPCCMCrypt(ByteView key, ByteView iv, ByteView adata, int64_t tagLength)
    : tagLength_(tagLength), keySize_(key.size()), ivSize_(iv.size()), adataSize_(adata.size()) {
    const size_t total = keySize_ + ivSize_ + adataSize_;
    uint8_t* to = inline_;
    if (total > kInlineBytes) {
        heap_ = std::make_unique_for_overwrite<uint8_t[]>(total);
        to = heap_.get();
    }
    copyShort(to, key);
    copyShort(to + keySize_, iv);
    copyShort(to + keySize_ + ivSize_, adata);
}

QKVPCCMCrypt::~QKVPCCMCrypt() {
    // A key that fits is wiped with a fixed length, which needs no library call.
    if (!heap_ && keySize_ <= kShortKey)
        crypto::cleanse(inline_, kShortKey);
    else
        crypto::cleanse(const_cast<uint8_t*>(bytes()), keySize_);
}

ErrorPtr QKVPCCMCrypt::createErrorObject(const std::string& message, int64_t errorNumber) {
    return makeError(kErrorDomain, errorNumber, message);
}

std::optional<Bytes> QKVPCCMCrypt::encryptDataWithData(ByteView plaintext) {
    const CcmParams params{key(), iv(), adata(), tagLength_, static_cast<size_t>(bufferSize_)};
    if (inOnePass(params, true, plaintext.size())) {
        if (auto out = onePass(params, true, plaintext)) {
            bytesLeft_ = 0;
            return out;
        }
    }
    Bytes out;
    if (sealData(params, plaintext, out, &bytesLeft_)) return std::nullopt;
    return out;
}

std::optional<Bytes> QKVPCCMCrypt::decryptDataWithData(ByteView sealed) {
    const CcmParams params{key(), iv(), adata(), tagLength_, static_cast<size_t>(bufferSize_)};
    // Any failure gives nothing here, and the platform refuses every parameter the engine refuses
    // but long associated data: no need to tell the two apart first.
    if (tagLength_ >= 0 && sealed.size() >= static_cast<size_t>(tagLength_) &&
        adataSize_ <= QKVPCCModel::kMaxAdataLength) {
        bytesLeft_ = 0;
        return onePass(params, false, sealed);
    }
    Bytes out;
    if (openData(params, sealed, out, &bytesLeft_)) return std::nullopt;
    return out;
}

void QKVPCCMCrypt::encryptDataWithData(ByteView plaintext, FinishedBlock finished,
                                       ErrorBlock error) {
    onNewQueue([p = copyOf(*this), input = Bytes(plaintext.begin(), plaintext.end()),
                finished = std::move(finished), error = std::move(error)]() mutable {
        Bytes out;
        int64_t left = 0;
        report(sealData(p->params(), input, out, &left), error, [&] {
            if (finished) finished(std::move(out));
        });
    });
}

void QKVPCCMCrypt::decryptDataWithData(ByteView sealed, FinishedBlock finished, ErrorBlock error) {
    onNewQueue([p = copyOf(*this), input = Bytes(sealed.begin(), sealed.end()),
                finished = std::move(finished), error = std::move(error)]() mutable {
        Bytes out;
        int64_t left = 0;
        ErrorPtr failure = openData(p->params(), input, out, &left);
        report(failure, error, [&] {
            if (finished) finished(std::move(out));
        });
    });
}

void QKVPCCMCrypt::encryptStreamWithUrl(const fs::path& url, DataBlock dataBlock,
                                        ErrorBlock error) {
    toStream(copyOf(*this), url, true, std::move(dataBlock), std::move(error));
}

void QKVPCCMCrypt::decryptStreamWithUrl(const fs::path& url, DataBlock dataBlock,
                                        ErrorBlock error) {
    toStream(copyOf(*this), url, false, std::move(dataBlock), std::move(error));
}

void QKVPCCMCrypt::encryptFileToFileWithSourceURL(const fs::path& sourceUrl,
                                                  const fs::path& destUrl, DoneBlock finished,
                                                  ErrorBlock error) {
    toFile(copyOf(*this), sourceUrl, destUrl, true, std::move(finished), std::move(error));
}

void QKVPCCMCrypt::decryptFileToFileWithSourceURL(const fs::path& sourceUrl,
                                                  const fs::path& destUrl, DoneBlock finished,
                                                  ErrorBlock error) {
    toFile(copyOf(*this), sourceUrl, destUrl, false, std::move(finished), std::move(error));
}

}  // namespace telvo
