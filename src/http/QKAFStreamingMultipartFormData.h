#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "http/QKAFMultipartBodyStream.h"
#include "platform/http/URLSession.h"
#include "telvosdk/Bytes.h"
#include "telvosdk/Error.h"

namespace telvo {

// A pace for uploads over a slow mobile link: packets of this many bytes, this many seconds
// apart (throttleBandwidthWithPacketSize).
inline constexpr size_t QKkAFUploadStream3GSuggestedPacketSize = 16384;
inline constexpr double QKkAFUploadStream3GSuggestedDelay = 0.2;

// Builds a multipart/form-data body, part by part, for one request. Files and streams are
// read only when the body is sent, a piece at a time. Not thread-safe: build it on one thread.
class QKAFStreamingMultipartFormData {
  public:
    QKAFStreamingMultipartFormData(URLRequest request, uint64_t stringEncoding);

    // A file part named after the file's last path component, its content type from its
    // extension ("application/octet-stream" for one not known). fileURL: a file URL or a
    // path. False with *error (code -1000 in the request serialization domain) when it is
    // not a file URL, or names nothing that can be read as a file.
    bool appendPartWithFileURL(const std::string& fileURL, const std::string& name,
                               ErrorPtr* error);
    bool appendPartWithFileURL(const std::string& fileURL, const std::string& name,
                               const std::string& fileName, const std::string& mimeType,
                               ErrorPtr* error);
    // length bytes of the stream, read when the body is sent.
    void appendPartWithInputStream(std::shared_ptr<InputStream> inputStream,
                                   const std::string& name, const std::string& fileName,
                                   int64_t length, const std::string& mimeType);
    void appendPartWithFileData(Bytes data, const std::string& name, const std::string& fileName,
                                const std::string& mimeType);
    void appendPartWithFormData(Bytes data, const std::string& name);
    // A field holding a line break is left out.
    void appendPartWithHeaders(HTTPHeaderFields headers, Bytes body);
    void throttleBandwidthWithPacketSize(size_t numberOfBytes, double delay);

    // The request with the body stream, "Content-Type" (with the boundary) and
    // "Content-Length"; without any part, the request as it came.
    URLRequest requestByFinalizingMultipartFormData();

    const std::string& boundary() const { return boundary_; }
    const std::shared_ptr<QKAFMultipartBodyStream>& bodyStream() const { return bodyStream_; }

  private:
    void appendPart(HTTPHeaderFields headers, std::shared_ptr<QKAFHTTPBodyPart> part);

    URLRequest request_;
    const uint64_t stringEncoding_;
    const std::string boundary_;
    const std::shared_ptr<QKAFMultipartBodyStream> bodyStream_;
};

}  // namespace telvo
