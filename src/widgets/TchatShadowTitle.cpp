#include "TchatShadowTitle.h"

#include <QPainter>
#include <QPainterPath>

TchatShadowTitle::TchatShadowTitle(const QString& text, int pixelSize, QPoint shadowAt,
                                   QWidget* parent)
    : QWidget(parent), text_(text), font_(TitleFont(pixelSize)), shadowAt_(shadowAt) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
}

QFont TchatShadowTitle::TitleFont(int pixelSize) {
    QFont font;
    font.setFamilies({QStringLiteral("Century"), QStringLiteral("C059"),
                      QStringLiteral("Century Schoolbook L"), QStringLiteral("serif")});
    font.setPixelSize(pixelSize);
    font.setBold(true);
    font.setItalic(true);
    return font;
}

QPixmap TchatShadowTitle::ProgramPicture(int size) {
    QPixmap picture(size, size);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 41.0;
    auto bubble = [&](QRectF r, QColor fill, bool tailLeft) {
        QPainterPath path;
        path.addRoundedRect(r, 6 * s, 6 * s);
        QPolygonF tail;
        const qreal y = r.bottom() - 1;
        if (tailLeft)
            tail << QPointF(r.left() + 6 * s, y) << QPointF(r.left() + 2 * s, y + 7 * s)
                 << QPointF(r.left() + 13 * s, y);
        else
            tail << QPointF(r.right() - 6 * s, y) << QPointF(r.right() - 2 * s, y + 7 * s)
                 << QPointF(r.right() - 13 * s, y);
        path.addPolygon(tail);
        path = path.simplified();
        p.setPen(QPen(Qt::black, 1.2 * s));
        p.setBrush(fill);
        p.drawPath(path);
    };
    bubble(QRectF(1 * s, 2 * s, 27 * s, 17 * s), QColor(255, 220, 0), true);
    bubble(QRectF(12 * s, 17 * s, 27 * s, 16 * s), QColor(80, 160, 255), false);
    return picture;
}

void TchatShadowTitle::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setFont(font_);
    const int ascent = QFontMetrics(font_).ascent();
    p.setPen(Qt::black);
    p.drawText(shadowAt_ + QPoint(0, ascent), text_);
    p.setPen(Qt::yellow);
    p.drawText(shadowAt_ + QPoint(-2, ascent - 2), text_);
}
