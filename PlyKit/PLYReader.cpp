#include "PlyKit/PLYReader.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "PlyKit/AsyncBufferingInputStream.hpp"
#include "PlyKit/TextScanning.hpp"

namespace plykit {

namespace {

std::string describe(PLYReader::ErrorKind kind) {
    using Kind = PLYReader::ErrorKind;
    switch (kind) {
        case Kind::readError: return "Error while reading input";
        case Kind::headerStartMissing: return "Header start missing";
        case Kind::headerEndMissing: return "Header end missing";
        case Kind::unexpectedEndOfFile: return "Unexpected end-of-file while reading input";
        case Kind::unexpectedContentAtEndOfBody: return "Unexpected content past end of expected body";
        case Kind::internalConsistency: return "Internal error in PLYReader";
        case Kind::elementTooLarge:
            return "Element larger than " + std::to_string(PLYReader::elementSizeCeiling) + " bytes in input";
    }
    return "Error while reading input";
}

using Chunk = AsyncBufferingInputStream::Chunk;

// Takes chunks until the bytes read end with `delimiter`, looking at no more
// than `limit` bytes before it. Returns those bytes without the delimiter and
// hands what follows it in the chunk back to the input.
std::optional<Chunk> searchDelimiter(AsyncBufferingInputStream::Iterator& input, std::string_view delimiter,
                                     std::size_t limit, const std::stop_token& stopToken) {
    Chunk accumulated;
    while (auto chunk = input.next(stopToken)) {
        for (std::size_t i = 0; i < chunk->size(); ++i) {
            accumulated.push_back((*chunk)[i]);
            if (accumulated.size() >= delimiter.size() &&
                std::memcmp(accumulated.data() + accumulated.size() - delimiter.size(), delimiter.data(),
                            delimiter.size()) == 0) {
                input.pushback(Chunk(chunk->begin() + std::ptrdiff_t(i) + 1, chunk->end()));
                accumulated.resize(accumulated.size() - delimiter.size());
                return accumulated;
            }
            if (accumulated.size() >= limit + delimiter.size()) return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

PLYReader::Error::Error(Kind kind) : ErrorOf(kind, describe(kind)) {}

// Decodes the body one step at a time for the sequence's next(). Keeps the
// batches a step produced until they are pulled, and the error that ended
// the body until they are gone. Used by one thread at a time.
class PLYReader::BodyDecoder {
public:
    // `skipPropertyless`: a binary body holds no bytes for an element type
    // without properties, so there is nothing to decode or deliver for it,
    // however large its declared count.
    BodyDecoder(PLYHeader header, AsyncBufferingInputStream::Iterator input, std::stop_token stopToken,
                bool skipPropertyless = false)
        : input_(std::move(input)), stopToken_(std::move(stopToken)), skipPropertyless_(skipPropertyless) {
        for (auto& element : header.elements)
            declarations_.push_back(std::make_shared<const PLYHeader::Element>(std::move(element)));
        skipEmptyTypes();
    }
    virtual ~BodyDecoder() = default;

    std::optional<ElementSeries> next() {
        while (ready_.empty() && !finished_) {
            try {
                step();
            } catch (...) {
                // Held back until the batches decoded before it are pulled.
                error_ = std::current_exception();
                finished_ = true;
            }
        }
        if (!ready_.empty()) {
            ElementSeries series = std::move(ready_.front());
            ready_.pop_front();
            return series;
        }
        if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
        return std::nullopt;
    }

    virtual bool deliverBytes(std::size_t) { return false; }

    void recycle(std::vector<PLYElement> elements) {
        // Bounded, so a consumer recycling more than it pulls holds no more
        // than one largest batch.
        std::size_t room = PLYReader::binaryBatchCapacity - std::min(spare_.size(), PLYReader::binaryBatchCapacity);
        if (spare_.empty() && elements.size() <= room) {
            spare_ = std::move(elements);
            return;
        }
        for (std::size_t i = 0; i < elements.size() && i < room; ++i) spare_.push_back(std::move(elements[i]));
    }

protected:
    // Advances the decoding: delivers batches, sets finished_, or throws.
    virtual void step() = 0;

    bool bodyComplete() const noexcept { return currentType_ >= declarations_.size(); }
    const PLYHeader::Element& currentDeclaration() const { return *declarations_[currentType_]; }

    // Counts one decoded instance of the current type; when the type is
    // complete, delivers its pending elements and moves to the next type.
    void countInstance() { countInstances(1); }
    void countInstances(std::uint64_t count) {
        instancesRead_ += count;
        if (instancesRead_ == currentDeclaration().count) {
            deliverPending();
            ++currentType_;
            instancesRead_ = 0;
            skipEmptyTypes();
        }
    }

    // A slot at the end of pending_ for the next element, on recycled
    // storage when there is some.
    PLYElement& addPendingSlot() {
        if (spare_.empty()) return pending_.emplace_back();
        pending_.push_back(std::move(spare_.back()));
        spare_.pop_back();
        return pending_.back();
    }

    // Takes back the last slot, which did not receive an element.
    void dropPendingSlot() {
        spare_.push_back(std::move(pending_.back()));
        pending_.pop_back();
    }

    void deliverPending() {
        if (pending_.empty()) return;
        lastBatchSize_ = pending_.size();
        ready_.push_back(ElementSeries{std::move(pending_), currentType_, declarations_[currentType_], {}, 0});
        pending_ = {};
    }

    AsyncBufferingInputStream::Iterator input_;
    std::stop_token stopToken_;
    std::vector<std::shared_ptr<const PLYHeader::Element>> declarations_;
    std::size_t currentType_ = 0;
    std::uint64_t instancesRead_ = 0;
    std::vector<PLYElement> pending_;  // decoded, not yet delivered, of the current type
    std::vector<PLYElement> spare_;    // recycled elements whose storage decoding reuses
    std::deque<ElementSeries> ready_;
    std::size_t lastBatchSize_ = 0;  // to size the next batch at once
    bool finished_ = false;

private:
    void skipEmptyTypes() {
        while (currentType_ < declarations_.size() &&
               (declarations_[currentType_]->count == 0 ||
                (skipPropertyless_ && declarations_[currentType_]->properties.empty())))
            ++currentType_;
    }

    bool skipPropertyless_;
    std::exception_ptr error_;
};

namespace {

class ASCIIBodyDecoder final : public PLYReader::BodyDecoder {
public:
    using BodyDecoder::BodyDecoder;

private:
    void step() override {
        if (declarations_.empty()) {
            finished_ = true;
            return;
        }
        std::optional<std::string_view> line = readLine();
        // A line that is not UTF-8 counts as the end of the input; after the
        // last element it is content that does not belong to the body.
        bool invalidText = line && !text::isValidUTF8(*line);
        if (!line || invalidText) {
            if (bodyComplete() && !invalidText) {
                finished_ = true;
                return;
            }
            throw PLYReader::Error(bodyComplete() ? PLYReader::ErrorKind::unexpectedContentAtEndOfBody
                                                  : PLYReader::ErrorKind::unexpectedEndOfFile);
        }
        if (bodyComplete()) {
            if (line->empty()) return;
            throw PLYReader::Error(PLYReader::ErrorKind::unexpectedContentAtEndOfBody);
        }
        if (pending_.empty()) pending_.reserve(PLYReader::asciiBatchCapacity);
        addPendingSlot().decodeASCII(currentDeclaration(), *line, currentType_);
        if (pending_.size() == PLYReader::asciiBatchCapacity) deliverPending();
        countInstance();
    }

    // The bytes up to the next LF (a CR stays in the line); the last line may
    // end without one. None at the end of the input.
    std::optional<std::string_view> readLine() {
        line_.clear();
        for (;;) {
            if (position_ == chunk_.size()) {
                auto next = input_.next(stopToken_);
                if (!next) {
                    chunk_.clear();
                    position_ = 0;
                    if (line_.empty()) return std::nullopt;
                    return std::string_view(line_);
                }
                chunk_ = std::move(*next);
                position_ = 0;
            }
            const auto* begin = chunk_.data() + position_;
            const auto* newline =
                static_cast<const std::uint8_t*>(std::memchr(begin, '\n', chunk_.size() - position_));
            std::size_t length = newline ? std::size_t(newline - begin) : chunk_.size() - position_;
            if (line_.size() + length > PLYReader::elementSizeCeiling)
                throw PLYReader::Error(PLYReader::ErrorKind::elementTooLarge);
            if (newline && line_.empty()) {
                // The whole line lies in this chunk: no copy.
                position_ += length + 1;
                return std::string_view(reinterpret_cast<const char*>(begin), length);
            }
            line_.append(reinterpret_cast<const char*>(begin), length);
            position_ += length;
            if (newline) {
                ++position_;
                return std::string_view(line_);
            }
        }
    }

    Chunk chunk_;
    std::size_t position_ = 0;
    std::string line_;  // a line that spans chunks
};

class BinaryBodyDecoder final : public PLYReader::BodyDecoder {
public:
    BinaryBodyDecoder(PLYHeader header, AsyncBufferingInputStream::Iterator input, std::stop_token stopToken,
                      bool bigEndian)
        : BodyDecoder(std::move(header), std::move(input), std::move(stopToken), true), bigEndian_(bigEndian) {
        buffer_.resize(PLYReader::chunkSize);
    }

private:
    void step() override {
        if (declarations_.empty()) {
            finished_ = true;
            return;
        }
        if (!passActive_) {
            // Read straight into the buffer: no chunk to allocate and copy.
            std::size_t readSize = deliveringBytes() ? PLYReader::byteBatchReadSize : PLYReader::chunkSize;
            if (buffer_.size() - buffered_ < readSize) buffer_.resize(std::max(buffer_.size() * 2, buffered_ + readSize));
            std::size_t count = input_.reader()->readInto(buffer_.data() + buffered_, readSize, stopToken_);
            if (count > 0) {
                buffered_ += count;
                if (buffered_ < minimumFill_) return;
            } else {
                inputEnded_ = true;
            }
            passActive_ = true;
            offset_ = 0;
        }
        if (runPass()) return;  // paused after delivering a batch

        deliverPending();
        passActive_ = false;
        if (inputEnded_) {
            if (!bodyComplete()) throw PLYReader::Error(PLYReader::ErrorKind::unexpectedEndOfFile);
            finished_ = true;
            return;
        }
        if (offset_ == 0) {
            // The next element is larger than what is buffered.
            minimumFill_ *= 2;
            if (buffer_.size() < minimumFill_) buffer_.resize(minimumFill_);
        } else {
            std::memmove(buffer_.data(), buffer_.data() + offset_, buffered_ - offset_);
            buffered_ -= offset_;
            offset_ = 0;
        }
    }

    bool deliverBytes(std::size_t typeIndex) override {
        if (typeIndex >= declarations_.size()) return false;
        std::size_t stride = 0;
        for (const auto& property : declarations_[typeIndex]->properties) {
            if (property.type.isList()) return false;
            stride += byteWidth(property.type.valueType());
        }
        if (stride == 0) return false;
        byteType_ = typeIndex;
        byteStride_ = stride;
        return true;
    }

    bool deliveringBytes() const { return byteStride_ > 0 && !bodyComplete() && currentType_ == byteType_; }

    // Hands over every whole instance buffered, as bytes, and pauses.
    bool deliverBufferedBytes() {
        std::uint64_t left = currentDeclaration().count - instancesRead_;
        std::size_t count = std::size_t(std::min<std::uint64_t>((buffered_ - offset_) / byteStride_, left));
        if (count == 0) {
            checkElementCanComplete(byteStride_);
            return false;
        }
        std::span<const std::uint8_t> bytes(buffer_.data() + offset_, count * byteStride_);
        ready_.push_back(PLYReader::ElementSeries{{}, currentType_, declarations_[currentType_], bytes, count});
        offset_ += bytes.size();
        countInstances(count);
        return true;
    }

    // Decodes from offset_ on. True when it paused after delivering a batch;
    // false when the pass is over (more bytes needed, or the body complete).
    bool runPass() {
        for (;;) {
            if (bodyComplete()) {
                if (offset_ < buffered_) throw PLYReader::Error(PLYReader::ErrorKind::unexpectedContentAtEndOfBody);
                return false;
            }
            if (deliveringBytes()) return deliverBufferedBytes();
            std::size_t deliveredBefore = ready_.size();
            std::uint64_t bytesNeeded = 0;
            if (pending_.empty()) pending_.reserve(lastBatchSize_);
            PLYElement& slot = addPendingSlot();
            std::optional<std::size_t> used;
            try {
                used = slot.decodeBinary(currentDeclaration(), buffer_.data(), offset_, buffered_ - offset_,
                                         bigEndian_, &bytesNeeded);
            } catch (const PLYElement::BinaryDecodeError&) {
                dropPendingSlot();
                deliverPending();
                throw;
            }
            if (!used) {
                dropPendingSlot();
                checkElementCanComplete(bytesNeeded);
                return false;
            }
            offset_ += *used;
            if (pending_.size() == PLYReader::binaryBatchCapacity) deliverPending();
            countInstance();
            if (ready_.size() > deliveredBefore) return true;
        }
    }

    // Size fields are not trusted: an element that needs more bytes than the
    // input still holds fails now rather than buffering the rest of the file.
    void checkElementCanComplete(std::uint64_t bytesNeeded) {
        if (inputEnded_) return;
        std::uint64_t bufferedLeft = buffered_ - offset_;
        auto remaining = input_.reader()->remainingBytes();
        if (remaining) {
            if (bytesNeeded > bufferedLeft + *remaining) {
                deliverPending();
                throw PLYReader::Error(PLYReader::ErrorKind::unexpectedEndOfFile);
            }
        } else if (bytesNeeded > PLYReader::elementSizeCeiling) {
            deliverPending();
            throw PLYReader::Error(PLYReader::ErrorKind::elementTooLarge);
        }
    }

    bool bigEndian_;
    std::vector<std::uint8_t> buffer_;  // its size is the capacity; buffered_ bytes are filled
    std::size_t buffered_ = 0;
    std::size_t minimumFill_ = PLYReader::chunkSize;
    std::size_t offset_ = 0;
    bool passActive_ = false;
    bool inputEnded_ = false;
    std::size_t byteType_ = 0;
    std::size_t byteStride_ = 0;  // 0: every type is decoded
};

}  // namespace

PLYReader::ElementSequence::ElementSequence(std::unique_ptr<BodyDecoder> decoder) : decoder_(std::move(decoder)) {}
PLYReader::ElementSequence::ElementSequence(ElementSequence&&) noexcept = default;
PLYReader::ElementSequence& PLYReader::ElementSequence::operator=(ElementSequence&&) noexcept = default;
PLYReader::ElementSequence::~ElementSequence() = default;

std::optional<PLYReader::ElementSeries> PLYReader::ElementSequence::next() {
    if (!decoder_) return std::nullopt;
    return decoder_->next();
}

bool PLYReader::ElementSequence::deliverBytes(std::size_t typeIndex) {
    return decoder_ && decoder_->deliverBytes(typeIndex);
}

void PLYReader::ElementSequence::recycle(std::vector<PLYElement> elements) {
    if (decoder_) decoder_->recycle(std::move(elements));
}

PLYReader::ReadResult PLYReader::read(std::stop_token stopToken) const {
    AsyncBufferingInputStream stream(source_, chunkSize);
    auto input = stream.makeIterator();
    if (!searchDelimiter(input, "ply\n", 0, stopToken)) throw Error(ErrorKind::headerStartMissing);
    auto headerText = searchDelimiter(input, "end_header\n", headerSearchLimit, stopToken);
    if (!headerText) throw Error(ErrorKind::headerEndMissing);
    PLYHeader header = PLYHeader::decodeASCII(
        std::string_view(reinterpret_cast<const char*>(headerText->data()), headerText->size()));

    std::unique_ptr<BodyDecoder> decoder;
    if (header.format == PLYHeader::Format::ascii)
        decoder = std::make_unique<ASCIIBodyDecoder>(header, std::move(input), std::move(stopToken));
    else
        decoder = std::make_unique<BinaryBodyDecoder>(header, std::move(input), std::move(stopToken),
                                                      header.format == PLYHeader::Format::binaryBigEndian);
    return ReadResult{std::move(header), ElementSequence(std::move(decoder))};
}

}  // namespace plykit
