#include "grid_delegate.h"

#include <QPainter>

namespace vantrel {

GridDelegate::GridDelegate(std::function<int()> masterIndex, std::function<bool(int)> loaded, QObject* parent)
    : QStyledItemDelegate(parent), masterIndex_(std::move(masterIndex)), loaded_(std::move(loaded)) {}

void GridDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const int c = index.column(), r = index.row();
    const QRect cell = option.rect;
    const bool heading = r == 0 || c == 0;
    QColor background(200, 200, 200);
    if (heading) background = QColor(150, 150, 150);
    if (r == 0 && c >= 1 && c == masterIndex_()) background = QColor(240, 240, 50);
    painter->save();
    painter->fillRect(cell, background);

    QString text = index.data().toString();
    if (r >= 1 && c >= 1 && !loaded_(c)) text.clear();
    QFont font = option.font;
    font.setBold(heading);
    painter->setFont(font);
    painter->setPen(Qt::black);
    const QFontMetrics metrics(font);
    const int textWidth = metrics.horizontalAdvance(text);
    const int left = c == 0 ? cell.left() + 2 : cell.left() + (cell.width() - textWidth) / 2 - 1;
    const int top = cell.top() + (cell.height() - metrics.height()) / 2;
    painter->setClipRect(cell);
    painter->drawText(QPoint(left, top + metrics.ascent()), text);

    // Lines on the right and bottom edges; the left edge in column 0, the top in row 0.
    const int right = cell.left() + cell.width(), bottom = cell.top() + cell.height();
    painter->drawLine(right - 1, cell.top(), right - 1, bottom - 1);
    painter->drawLine(right - 1, bottom - 1, cell.left(), bottom - 1);
    if (c == 0) painter->drawLine(cell.left(), bottom - 1, cell.left(), cell.top());
    if (r == 0) painter->drawLine(cell.left(), cell.top(), right - 1, cell.top());
    painter->restore();
}

}  // namespace vantrel
