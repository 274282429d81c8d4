#pragma once
// The program's title drawn twice, black under yellow, so the black copy
// reads as a drop shadow; used by the splash, the start dialog and the
// version dialog. Also draws the program picture.
#include <QPixmap>
#include <QWidget>

class TchatShadowTitle : public QWidget {
  public:
    // `shadowAt` is where the black copy's top-left goes in the widget; the
    // yellow copy sits 2 pixels up and left of it.
    TchatShadowTitle(const QString& text, int pixelSize, QPoint shadowAt,
                     QWidget* parent = nullptr);

    QString Text() const { return text_; }

    // "Century" bold italic at that size, with its metric twin as fallback.
    static QFont TitleFont(int pixelSize);
    // The program picture: two speech bubbles, `size` pixels square.
    static QPixmap ProgramPicture(int size);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString text_;
    QFont font_;
    QPoint shadowAt_;
};
