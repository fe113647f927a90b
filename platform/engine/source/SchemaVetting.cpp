#include "platform/engine/source/SchemaVetting.h"

#include <sqlite3.h>

#include <QByteArray>
#include <QString>
#include <map>
#include <set>
#include <vector>

#include "platform/engine/format/BTreePage.h"
#include "platform/engine/format/Bytes.h"
#include "platform/engine/format/DatabaseHeader.h"
#include "platform/engine/format/Record.h"
#include "platform/engine/source/BTreeWalk.h"
#include "platform/engine/source/RecordText.h"
#include "platform/engine/source/SourceImage.h"

namespace platform::engine {

namespace {

// Skips white space and comments from `at`.
std::size_t skipBlank(QByteArrayView sql, std::size_t at) {
    while (at < std::size_t(sql.size())) {
        const char c = sql[qsizetype(at)];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
            ++at;
        } else if (sql.sliced(qsizetype(at)).startsWith("--")) {
            while (at < std::size_t(sql.size()) && sql[qsizetype(at)] != '\n') ++at;
        } else if (sql.sliced(qsizetype(at)).startsWith("/*")) {
            const qsizetype close = sql.sliced(qsizetype(at) + 2).indexOf("*/");
            at = close < 0 ? std::size_t(sql.size()) : at + 2 + std::size_t(close) + 2;
        } else {
            break;
        }
    }
    return at;
}

QByteArray wordAt(QByteArrayView sql, std::size_t& at) {
    at = skipBlank(sql, at);
    const std::size_t start = at;
    while (at < std::size_t(sql.size())) {
        const char c = sql[qsizetype(at)];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_')) break;
        ++at;
    }
    return sql.sliced(qsizetype(start), qsizetype(at - start)).toByteArray().toUpper();
}

bool onlyBlank(QByteArrayView sql, std::size_t from) {
    return skipBlank(sql, from) >= std::size_t(sql.size());
}

// Where the first statement ends, its ";" left out.
std::size_t firstStatementEnd(QByteArrayView sql) {
    for (qsizetype at = 0; at < sql.size(); ++at) {
        if (sql[at] != ';') continue;
        // sqlite3_complete knows quotes, comments and trigger bodies.
        if (sqlite3_complete(sql.first(at + 1).toByteArray().constData())) return std::size_t(at);
    }
    return std::size_t(sql.size());
}

}  // namespace

std::optional<std::size_t> usableSchemaText(QByteArrayView sql, QByteArrayView type) {
    // As SQLite: the text must start with "create " exactly.
    if (sql.size() < 7 || sql.first(7).toByteArray().toLower() != "create ") return std::nullopt;
    std::size_t at = 0;
    wordAt(sql, at);  // CREATE
    QByteArray word = wordAt(sql, at);
    while (word == "TEMP" || word == "TEMPORARY" || word == "UNIQUE" || word == "VIRTUAL") {
        word = wordAt(sql, at);
    }
    if (word != type.toByteArray().toUpper()) return std::nullopt;
    if (sql.contains('\0')) return std::nullopt;
    return firstStatementEnd(sql);
}

namespace {

constexpr int kTypeField = 0;
constexpr int kSqlField = 4;

class SchemaVetter {
  public:
    explicit SchemaVetter(SourceImage& image) : image_(image) {
        const QByteArray first = image.page(1);
        header_ = format::parseHeader(reinterpret_cast<const unsigned char*>(first.constData()));
    }

    VettedSchema vet() {
        // The schema table's leaf cells by page, then each page vetted at once.
        std::map<std::uint32_t, std::vector<int>> cells;
        BTreeWalk(image_).walk(
            1,
            [&](const TreeCell& cell) {
                if (cell.type == format::LeafTable) cells[cell.page].push_back(cell.offset);
            },
            [](const LostSubtree&) {});
        for (const auto& [number, offsets] : cells) {
            QByteArray bytes = image_.page(number);
            bool changed = false;
            for (const int offset : offsets) changed |= vetCell(number, bytes, offset);
            if (changed) image_.writePage(number, bytes);
        }
        return result_;
    }

  private:
    bool isBad(std::uint32_t number) const {
        for (const std::uint32_t bad : image_.badPages()) {
            if (bad == number) return true;
        }
        return false;
    }

    // Where each byte of a cell's payload lies: on its page, then on its
    // overflow pages. Empty when part of it cannot be read.
    struct Piece {
        std::uint32_t page;
        int offset;
        int length;
    };
    std::vector<Piece> piecesOf(std::uint32_t number, const format::CellPayload& payload) {
        std::vector<Piece> pieces{{number, payload.payloadOffset, payload.localSize}};
        std::uint64_t left = payload.size - std::uint64_t(payload.localSize);
        std::uint32_t next = payload.firstOverflow;
        std::set<std::uint32_t> chain;
        const int perPage = header_.usableSize() - 4;
        while (left > 0) {
            if (next < 2 || next > image_.pageCount() || isBad(next) || !chain.insert(next).second)
                return {};
            const int length = int(std::min<std::uint64_t>(left, std::uint64_t(perPage)));
            pieces.push_back({next, 4, length});
            left -= std::uint64_t(length);
            next = image_.nextOverflowPage(next);
        }
        return pieces;
    }

    bool vetCell(std::uint32_t number, QByteArray& pageBytes, int offset) {
        const auto* page = reinterpret_cast<const unsigned char*>(pageBytes.constData());
        const format::CellPayload payload =
            format::cellPayload(page, format::LeafTable, offset, header_.usableSize());
        if (payload.kind != format::CellPayload::OnPage &&
            payload.kind != format::CellPayload::Overflowing) {
            return false;
        }
        const std::vector<Piece> pieces = piecesOf(number, payload);
        if (pieces.empty()) return false;
        QByteArray record;
        for (const Piece& piece : pieces) {
            const QByteArray from = piece.page == number ? pageBytes : image_.page(piece.page);
            record += from.mid(piece.offset, piece.length);
        }
        const auto fields = format::readRecord(
            reinterpret_cast<const unsigned char*>(record.constData()), std::size_t(record.size()));
        if (!fields || fields->size() < kSqlField + 1 || !(*fields)[kTypeField].isText()) {
            return false;
        }
        const format::RecordField& typeField = (*fields)[kTypeField];
        const format::RecordField& sqlField = (*fields)[kSqlField];
        const QByteArray type = textValue(record, typeField, header_.textEncoding).toUtf8();
        const QByteArray name = (*fields)[1].isText()
                                    ? textValue(record, (*fields)[1], header_.textEncoding).toUtf8()
                                    : QByteArray();
        std::optional<std::size_t> usable;
        QByteArray utf8;
        if (sqlField.isText()) {
            utf8 = textValue(record, sqlField, header_.textEncoding).toUtf8();
            usable = usableSchemaText(utf8, type);
        } else if (type != "table") {
            // An index of SQLite's own (a UNIQUE or PRIMARY KEY constraint's)
            // has no text; only a table must have one.
            return false;
        }
        std::size_t keepBytes = 0;
        if (usable) {
            if (onlyBlank(utf8, *usable)) return false;
            keepBytes =
                header_.textEncoding >= 2
                    ? std::size_t(QString::fromUtf8(utf8.left(qsizetype(*usable))).size()) * 2
                    : *usable;
            ++result_.trimmed;
        } else {
            // Not even its type stays: SQLite's recovery would otherwise put
            // the rows of an entry it cannot create into the last table it made.
            result_.refused.push_back(type + ' ' + name);
            blank(record, typeField, 0);
        }
        if (sqlField.isText()) blank(record, sqlField, keepBytes);
        // Back where each piece came from.
        qsizetype at = 0;
        for (const Piece& piece : pieces) {
            if (piece.page == number) {
                pageBytes.replace(piece.offset, piece.length, record.mid(at, piece.length));
            } else {
                QByteArray overflow = image_.page(piece.page);
                overflow.replace(piece.offset, piece.length, record.mid(at, piece.length));
                image_.writePage(piece.page, overflow);
            }
            at += piece.length;
        }
        return true;
    }

    // Spaces in the text encoding from `from` bytes on.
    void blank(QByteArray& record, const format::RecordField& field, std::size_t from) const {
        for (std::size_t i = from; i < field.size; ++i) {
            char& byte = record[qsizetype(field.offset + i)];
            const bool lowHalf = (header_.textEncoding == 2) == (i % 2 == 0);
            byte = header_.textEncoding >= 2 && !lowHalf ? '\0' : ' ';
        }
    }

    SourceImage& image_;
    format::DatabaseHeader header_;
    VettedSchema result_;
};

}  // namespace

VettedSchema vetSchema(SourceImage& image) {
    if (image.pageCount() == 0) return {};
    return SchemaVetter(image).vet();
}

}  // namespace platform::engine
