#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

namespace platform {

// The platform's keyed collection of text: items in the order of adding,
// positions from 1, keys matched without regard to letter case.
class KeyedCollection {
  public:
    // Fails with 457 when the key is already held.
    void Add(const QString& item, const QString& key);
    // Fails with 5 for a key the collection does not hold.
    const QString& Item(const QString& key) const;
    // Fails with 5 for a position outside 1..Count.
    const QString& Item(int position) const;
    int Count() const { return static_cast<int>(items_.size()); }

  private:
    QStringList items_;
    QHash<QString, qsizetype> positionByKey_;
};

}  // namespace platform
