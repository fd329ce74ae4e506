#pragma once

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRect>
#include <QString>
#include <QWidget>
#include <string>

#include "imaging/draw.h"

namespace vantrel {

inline QString ToQt(const std::string& s) { return QString::fromStdString(s); }
inline std::string FromQt(const QString& s) { return s.toStdString(); }

// The face colour of a window's buttons, for the sliders drawn in core bitmaps.
inline Rgb ButtonFace(const QWidget* widget) {
    const QColor c = widget->palette().button().color();
    return {static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()), static_cast<std::uint8_t>(c.blue())};
}

// Shows the hourglass until the scope ends, whatever ends it.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// The windows' font: Arial 12 pixels (fontconfig picks a metric twin where Arial is missing).
inline void UseWindowFont(QWidget* window) {
    QFont font("Arial");
    font.setPixelSize(12);
    window->setFont(font);
}

// A named button at a fixed place; `colour` tints its caption.
inline QPushButton* AddButton(QWidget* parent, const char* name, const QString& caption, const QRect& geometry,
                              const char* colour = nullptr) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setGeometry(geometry);
    if (colour) button->setStyleSheet(QString("color: %1;").arg(colour));
    return button;
}

// A named radio button at a fixed place.
inline QRadioButton* AddRadio(QWidget* parent, const char* name, const QString& caption, const QRect& geometry) {
    auto* radio = new QRadioButton(caption, parent);
    radio->setObjectName(name);
    radio->setGeometry(geometry);
    return radio;
}

// A label at (x, y), sized to its text, or in a given rectangle.
inline QLabel* AddLabel(QWidget* parent, const QString& text, int x, int y, const char* name = nullptr) {
    auto* label = new QLabel(text, parent);
    if (name) label->setObjectName(name);
    label->move(x, y);
    label->adjustSize();
    return label;
}
inline QLabel* AddLabel(QWidget* parent, const QString& text, const QRect& geometry, const char* name = nullptr) {
    auto* label = new QLabel(text, parent);
    if (name) label->setObjectName(name);
    label->setGeometry(geometry);
    return label;
}

}  // namespace vantrel
