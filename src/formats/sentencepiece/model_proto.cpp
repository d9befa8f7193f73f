#include "formats/sentencepiece/model_proto.hpp"

#include <cstring>
#include <unordered_set>

#include "document/text.hpp"
#include "formats/format_error.hpp"

namespace vocarix::formats {
namespace {

enum WireType : std::uint32_t { kVarint = 0, kFixed64 = 1, kLengthDelimited = 2, kFixed32 = 5 };

constexpr std::uint32_t kPiecesField = 1;
constexpr std::uint32_t kTrainerSpecField = 2;
// In the trainer spec.
constexpr std::uint32_t kModelTypeField = 3;
constexpr std::uint32_t kByteFallbackField = 35;
// In a piece.
constexpr std::uint32_t kPieceTextField = 1;
constexpr std::uint32_t kPieceScoreField = 2;
constexpr std::uint32_t kPieceTypeField = 3;

struct Field {
    std::uint32_t number = 0;
    WireType wire = kVarint;
    std::uint64_t varint = 0;       // kVarint; kFixed32 and kFixed64 hold their bits here too
    std::string_view payload;       // kLengthDelimited
    std::string_view whole;         // the field as stored, tag included
};

// Reads the fields of one message, each checked against the bytes left.
class WireReader {
public:
    WireReader(std::string_view bytes, std::string_view where, std::string_view file_name)
        : bytes_(bytes), where_(where), file_name_(file_name) {}

    bool done() const { return at_ == bytes_.size(); }

    Field next() {
        Field field;
        std::size_t start = at_;
        std::uint64_t tag = varint();
        std::uint64_t number = tag >> 3;
        if (number == 0 || number > 0x1FFFFFFF) fail("field number " + std::to_string(number) + " is not allowed");
        field.number = static_cast<std::uint32_t>(number);
        switch (tag & 7) {
            case kVarint:
                field.wire = kVarint;
                field.varint = varint();
                break;
            case kFixed64:
                field.wire = kFixed64;
                field.varint = fixed(8);
                break;
            case kFixed32:
                field.wire = kFixed32;
                field.varint = fixed(4);
                break;
            case kLengthDelimited: {
                field.wire = kLengthDelimited;
                std::uint64_t length = varint();
                if (length > bytes_.size() - at_)
                    fail("field " + std::to_string(number) + " says it holds " + std::to_string(length) +
                         " bytes, but only " + std::to_string(bytes_.size() - at_) + " are left");
                field.payload = bytes_.substr(at_, static_cast<std::size_t>(length));
                at_ += static_cast<std::size_t>(length);
                break;
            }
            default:
                fail("field " + std::to_string(number) + " has wire type " + std::to_string(tag & 7) +
                     ", which a model never uses");
        }
        field.whole = bytes_.substr(start, at_ - start);
        return field;
    }

    [[noreturn]] void fail(const std::string& what) const {
        throw FormatError(std::string(file_name_) + ": not a SentencePiece model: " + std::string(where_) + ": " + what);
    }

private:
    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 70; shift += 7) {
            if (at_ == bytes_.size()) fail("the data ends inside a number");
            auto byte = static_cast<unsigned char>(bytes_[at_++]);
            if (shift == 63 && byte > 1) fail("a number is longer than 64 bits");
            value |= std::uint64_t{byte & 0x7Fu} << shift;
            if (!(byte & 0x80)) return value;
        }
        fail("a number is longer than ten bytes");
    }

    std::uint64_t fixed(std::size_t size) {
        if (bytes_.size() - at_ < size) fail("the data ends inside a number");
        std::uint64_t value = 0;
        for (std::size_t k = 0; k < size; ++k) value |= std::uint64_t{static_cast<unsigned char>(bytes_[at_ + k])} << (8 * k);
        at_ += size;
        return value;
    }

    std::string_view bytes_;
    std::size_t at_ = 0;
    std::string_view where_;
    std::string_view file_name_;
};

void put_varint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out += static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    out += static_cast<char>(value);
}

void put_tag(std::string& out, std::uint32_t number, WireType wire) { put_varint(out, (std::uint64_t{number} << 3) | wire); }

SentencePiece read_piece(const Field& field, std::size_t index, std::string_view file_name) {
    std::string where = "piece " + std::to_string(index);
    if (field.wire != kLengthDelimited) WireReader({}, where, file_name).fail("is not a message");
    WireReader reader(field.payload, where, file_name);
    SentencePiece piece;
    piece.stored = std::string(field.whole);
    bool has_text = false;
    while (!reader.done()) {
        Field inner = reader.next();
        auto expect = [&](WireType wire, const char* name) {
            if (inner.wire != wire) reader.fail(std::string("its ") + name + " has the wrong wire type");
        };
        switch (inner.number) {
            case kPieceTextField:
                expect(kLengthDelimited, "text");
                piece.text = std::string(inner.payload);
                has_text = true;
                break;
            case kPieceScoreField: {
                expect(kFixed32, "score");
                auto bits = static_cast<std::uint32_t>(inner.varint);
                std::memcpy(&piece.score, &bits, sizeof bits);
                break;
            }
            case kPieceTypeField:
                expect(kVarint, "type");
                if (inner.varint < 1 || inner.varint > 6)
                    reader.fail("its type " + std::to_string(inner.varint) + " is none a model knows");
                piece.type = static_cast<PieceType>(inner.varint);
                piece.has_type = true;
                break;
            default:
                piece.unknown_fields += inner.whole;
        }
    }
    if (!has_text || piece.text.empty()) reader.fail("it has no text");
    if (std::size_t bad = find_invalid_utf8(piece.text); bad != piece.text.size())
        reader.fail("its text is not valid UTF-8 (byte " + std::to_string(bad) + ")");
    return piece;
}

void read_trainer_spec(const Field& field, SentencePieceModel& model, std::string_view file_name) {
    if (field.wire != kLengthDelimited) WireReader({}, "trainer spec", file_name).fail("is not a message");
    WireReader reader(field.payload, "trainer spec", file_name);
    while (!reader.done()) {
        Field inner = reader.next();
        if (inner.number == kModelTypeField && inner.wire == kVarint) {
            if (inner.varint < 1 || inner.varint > 4)
                reader.fail("model type " + std::to_string(inner.varint) + " is none SentencePiece knows");
            model.model_type = static_cast<ModelType>(inner.varint);
        } else if (inner.number == kByteFallbackField && inner.wire == kVarint) {
            model.byte_fallback = inner.varint != 0;
        }
    }
}

}  // namespace

std::string_view piece_type_name(PieceType type) {
    switch (type) {
        case PieceType::kNormal: return "normal";
        case PieceType::kUnknown: return "unknown";
        case PieceType::kControl: return "control";
        case PieceType::kUserDefined: return "user-defined";
        case PieceType::kUnused: return "unused";
        case PieceType::kByte: return "byte";
    }
    return "normal";
}

SentencePieceModel parse_sentencepiece_model(std::string_view bytes, std::string_view file_name) {
    if (bytes.size() > kMaxModelSize)
        throw FormatError(std::string(file_name) + ": " + std::to_string(bytes.size()) +
                          " bytes is too large for a SentencePiece model");
    SentencePieceModel model;
    WireReader reader(bytes, "the model", file_name);
    std::unordered_set<std::string_view> texts;
    while (!reader.done()) {
        Field field = reader.next();
        if (field.number == kPiecesField) {
            model.pieces.push_back(read_piece(field, model.pieces.size(), file_name));
            continue;
        }
        if (field.number == kTrainerSpecField) read_trainer_spec(field, model, file_name);
        model.other_fields.push_back({model.pieces.size(), std::string(field.whole)});
    }
    if (model.pieces.empty()) reader.fail("it holds no pieces");
    for (std::size_t id = 0; id < model.pieces.size(); ++id)
        if (!texts.insert(model.pieces[id].text).second)
            reader.fail("piece " + std::to_string(id) + " " + debug_quoted(model.pieces[id].text) +
                        " is listed before");
    return model;
}

std::string write_sentencepiece_model(const SentencePieceModel& model, const std::vector<SentencePiece>& pieces) {
    std::string out;
    std::size_t size = 0;
    for (const auto& field : model.other_fields) size += field.bytes.size();
    for (const SentencePiece& piece : pieces) size += piece.text.size() + 16 + piece.unknown_fields.size();
    out.reserve(size);
    std::size_t old_count = model.pieces.size();
    auto place_of = [&](std::size_t pieces_before) {
        return pieces_before >= old_count ? pieces.size() : std::min(pieces_before, pieces.size());
    };
    std::size_t next_field = 0;
    std::string message;
    for (std::size_t i = 0; i <= pieces.size(); ++i) {
        while (next_field < model.other_fields.size() && place_of(model.other_fields[next_field].pieces_before) == i)
            out += model.other_fields[next_field++].bytes;
        if (i == pieces.size()) break;
        const SentencePiece& piece = pieces[i];
        if (!piece.stored.empty()) {
            out += piece.stored;
            continue;
        }
        message.clear();
        put_tag(message, kPieceTextField, kLengthDelimited);
        put_varint(message, piece.text.size());
        message += piece.text;
        put_tag(message, kPieceScoreField, kFixed32);
        std::uint32_t bits;
        std::memcpy(&bits, &piece.score, sizeof bits);
        for (int k = 0; k < 4; ++k) message += static_cast<char>((bits >> (8 * k)) & 0xFF);
        if (piece.type != PieceType::kNormal || piece.has_type) {
            put_tag(message, kPieceTypeField, kVarint);
            put_varint(message, static_cast<std::uint64_t>(piece.type));
        }
        message += piece.unknown_fields;
        put_tag(out, kPiecesField, kLengthDelimited);
        put_varint(out, message.size());
        out += message;
    }
    while (next_field < model.other_fields.size()) out += model.other_fields[next_field++].bytes;
    return out;
}

}  // namespace vocarix::formats
