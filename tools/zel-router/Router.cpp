#include "Router.h"

#include "Hex.h"

#include <algorithm>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <memory>
#include <sstream>

namespace zelrouter {

namespace asio = boost::asio;
using stream = asio::local::stream_protocol;
using zelwire::Op;

namespace {

std::vector<uint8_t> U32(uint32_t v) {
    std::vector<uint8_t> b(4);
    zelwire::PutU32(b.data(), v);
    return b;
}

// One client's requests, answered in order. Requests are read in chunks, so a small request and
// its payload take one read.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(stream::socket socket, const Options& options, Services& services, std::FILE* log)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), options_(options),
          services_(services), log_(log), in_(kChunk) {}

    void Start() { ReadSome(); }

private:
    static constexpr size_t kChunk = 16 * 1024;

    void ReadSome() {
        if (have_ == in_.size()) // a frame larger than the buffer: room for the whole of it
            in_.resize(std::min(in_.size() * 2, zelwire::kHeaderSize + zelwire::kMaxPayload));
        socket_.async_read_some(asio::buffer(in_.data() + have_, in_.size() - have_),
                                [self = shared_from_this()](auto ec, size_t n) {
                                    if (!ec)
                                        self->OnRead(n);
                                });
    }

    void OnRead(size_t n) {
        have_ += n;
        NextFrame();
    }

    // Answers the first whole frame in the buffer, or reads on.
    void NextFrame() {
        if (have_ < zelwire::kHeaderSize)
            return ReadSome();
        zelwire::Header header;
        if (!zelwire::DecodeHeader(in_.data(), header))
            return Refuse();
        size_t const size = zelwire::kHeaderSize + header.length;
        if (have_ < size)
            return ReadSome();
        payload_.assign(in_.begin() + zelwire::kHeaderSize, in_.begin() + long(size));
        std::copy(in_.begin() + long(size), in_.begin() + long(have_), in_.begin());
        have_ -= size;
        Answer(header);
    }

    void Answer(const zelwire::Header& request) {
        Reply reply;
        if (!services_.Handle(request.op, payload_, reply))
            return Refuse();
        if (log_) {
            std::fputs(reply.logLine.c_str(), log_);
            std::fputc('\n', log_);
            std::fflush(log_);
        }
        if (!reply.send)
            return NextFrame();

        zelwire::Header h;
        h.op = request.op;
        h.id = request.id;
        h.status = reply.status;
        h.length = uint32_t(reply.data.size());
        out_.resize(zelwire::kHeaderSize);
        zelwire::EncodeHeader(h, out_.data());
        out_.insert(out_.end(), reply.data.begin(), reply.data.end());
        if (reply.delayed && options_.delayMs > 0) {
            timer_.expires_after(std::chrono::milliseconds(options_.delayMs));
            timer_.async_wait([self = shared_from_this()](auto ec) {
                if (!ec)
                    self->Send();
            });
        } else {
            Send();
        }
    }

    void Send() {
        asio::async_write(socket_, asio::buffer(out_),
                          [self = shared_from_this()](auto ec, size_t) {
                              if (!ec)
                                  self->NextFrame();
                          });
    }

    // A bad frame ends the connection; the router goes on serving the others.
    void Refuse() {
        std::fprintf(stderr, "zel-router: bad frame from a client, connection closed\n");
        boost::system::error_code ignored;
        socket_.close(ignored);
    }

    stream::socket socket_;
    asio::steady_timer timer_;
    const Options& options_;
    Services& services_;
    std::FILE* log_;
    std::vector<uint8_t> in_; // received bytes, the first have_ of them not yet answered
    size_t have_ = 0;
    std::vector<uint8_t> payload_, out_;
};

} // namespace

bool Services::Handle(uint16_t op, const std::vector<uint8_t>& payload, Reply& reply) {
    switch (Op(op)) {
    case Op::PortOpen:
        if (!payload.empty())
            return false;
        reply.data = U32(nextPort_++);
        reply.logLine = "port-open port=" + std::to_string(nextPort_ - 1);
        return true;
    case Op::PortClose:
        if (payload.size() != 4)
            return false;
        reply.logLine = "port-close";
        return true;
    case Op::LocalAddress:
        if (!payload.empty())
            return false;
        reply.data.assign(options_.netId.begin(), options_.netId.end());
        reply.logLine = "local-address status=0";
        return true;
    case Op::ReadWrite: {
        zelwire::ReadWriteRequest req;
        if (!zelwire::DecodeReadWrite(payload.data(), payload.size(), req))
            return false;
        ReadWrite(req, payload.data() + zelwire::kReadWriteFixed, reply);
        return true;
    }
    }
    return false;
}

void Services::ReadWrite(const zelwire::ReadWriteRequest& req, const uint8_t* write, Reply& reply) {
    const NetId zero{};
    NetId target;
    std::copy(req.netId, req.netId + 6, target.begin());
    const bool local = target == zero || target == options_.netId;
    const uint32_t readLength = std::min(req.readLength, zelwire::kMaxPayload);

    if (!local) {
        reply.status = zelwire::kErrUnknownTarget;
    } else if (req.port == kRuntimePort) {
        reply.delayed = true;
        if (req.indexGroup != kRuntimeGroup || req.indexOffset != kRuntimeOffset) {
            reply.status = zelwire::kErrBadIndex;
        } else if (options_.runtime == Options::Runtime::Echo) {
            reply.data.assign(write, write + std::min(req.writeLength, readLength));
        } else if (options_.runtime == Options::Runtime::Plant) {
            reply.data = plant_.Exchange(write, req.writeLength, readLength);
        } else if (options_.runtime == Options::Runtime::Error) {
            reply.status = options_.runtimeError;
        } else {
            reply.send = false;
            reply.status = zelwire::kErrTimeout; // what the caller ends up with
        }
    } else if (req.port == kRegistryPort) {
        if (req.indexGroup != kRegistryGroup || req.indexOffset != kRegistryOffset)
            reply.status = zelwire::kErrBadIndex;
        else
            reply.status = ReadRegistry(write, req.writeLength, readLength, reply.data);
    } else {
        reply.status = zelwire::kErrNoService;
    }

    std::ostringstream line;
    line << "read-write target=";
    for (int i = 0; i < 6; ++i)
        line << (i ? "." : "") << unsigned(target[i]);
    line << ':' << req.port << " group=" << req.indexGroup << " offset=" << req.indexOffset
         << " read=" << req.readLength << " write=" << req.writeLength
         << " data=" << ovcommon::Hex(write, req.writeLength) << " status=" << reply.status
         << " answer=" << reply.data.size();
    reply.logLine = line.str();
}

// Write data: key path, NUL, value name, NUL. Answers the value's bytes and one NUL.
int32_t Services::ReadRegistry(const uint8_t* write, uint32_t n, uint32_t readLength,
                               std::vector<uint8_t>& data) const {
    if (!hasRegistry_)
        return zelwire::kErrNotFound;
    const char* p = reinterpret_cast<const char*>(write);
    const char* end = p + n;
    const char* keyEnd = std::find(p, end, '\0');
    if (keyEnd == end)
        return zelwire::kErrNotFound;
    const char* nameEnd = std::find(keyEnd + 1, end, '\0');
    auto key = registry_.find(std::string(p, keyEnd));
    if (key == registry_.end())
        return zelwire::kErrNotFound;
    auto value = key->second.find(std::string(keyEnd + 1, nameEnd));
    if (value == key->second.end())
        return zelwire::kErrNotFound;
    const std::string& v = value->second;
    data.assign(v.begin(), v.end());
    data.push_back(0);
    if (data.size() > readLength)
        data.resize(readLength);
    return zelwire::kOk;
}

Router::Router(asio::io_context& io, const Options& options, Services& services, std::FILE* log)
    : options_(options), services_(services), log_(log), acceptor_(io), retry_(io) {}

bool Router::Listen(std::string& error) {
    boost::system::error_code ec;
    stream::endpoint ep(options_.socketPath);
    acceptor_.open(ep.protocol(), ec);
    if (!ec)
        acceptor_.bind(ep, ec);
    if (!ec)
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    Accept();
    return true;
}

void Router::Stop() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
}

void Router::Accept() {
    acceptor_.async_accept([this](auto ec, stream::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (ec) {
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([this](auto waited) {
                if (!waited)
                    Accept();
            });
            return;
        }
        std::make_shared<Session>(std::move(socket), options_, services_, log_)->Start();
        Accept();
    });
}

} // namespace zelrouter
