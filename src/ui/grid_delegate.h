#pragma once

#include <QStyledItemDelegate>
#include <functional>

namespace vantrel {

// Paints the alignment grid's cells: grey headings, the master's heading in
// yellow, data cells only for loaded slots, black lines right and below.
class GridDelegate : public QStyledItemDelegate {
public:
    GridDelegate(std::function<int()> masterIndex, std::function<bool(int slot)> loaded, QObject* parent = nullptr);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    std::function<int()> masterIndex_;
    std::function<bool(int)> loaded_;
};

}  // namespace vantrel
