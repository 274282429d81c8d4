#include "Tjyankenfm.h"

#include "chat_core/ChatPayload.h"
#include "platform/QtText.h"
#include "platform/WindowPlace.h"
#include "session/CustomDPSession.h"

#include <QCloseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>
#include <algorithm>

namespace {

// Small pictures of our own for the hand buttons.
QIcon HandIcon(int tag) {
    QPixmap pm(24, 24);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(90, 50, 20), 1.5));
    p.setBrush(QColor(250, 205, 160));
    switch (tag) {
    case 1: // rock: a closed fist
        p.drawEllipse(QRectF(4, 5, 16, 15));
        for (int i = 0; i < 3; ++i)
            p.drawLine(QPointF(8 + 4 * i, 7), QPointF(8 + 4 * i, 12));
        break;
    case 2: // scissors: two fingers in a V
        p.drawEllipse(QRectF(6, 13, 12, 9));
        p.save();
        p.translate(12, 15);
        p.rotate(-18);
        p.drawRoundedRect(QRectF(-5, -13, 4, 13), 2, 2);
        p.rotate(36);
        p.drawRoundedRect(QRectF(1, -13, 4, 13), 2, 2);
        p.restore();
        break;
    case 3: // paper: an open hand
        p.drawRoundedRect(QRectF(5, 11, 14, 11), 4, 4);
        for (int i = 0; i < 4; ++i)
            p.drawRoundedRect(QRectF(5 + 3.6 * i, 3, 3, 10), 1.5, 1.5);
        break;
    default: // pass: a cross
        p.setPen(QPen(QColor(160, 20, 20), 3));
        p.drawLine(6, 6, 18, 18);
        p.drawLine(18, 6, 6, 18);
        break;
    }
    return QIcon(pm);
}

bool SameHandle(const AnsiString& a, const AnsiString& b) {
    return platform::ToQString(a).compare(platform::ToQString(b), Qt::CaseInsensitive) == 0;
}

} // namespace

Tjyankenfm::Tjyankenfm(QWidget* chat, TCustomDPSession* session_)
    // No parent window: a window manager minimises a window's transients
    // with it, and the game stays on screen while its chat window is down.
    // It still goes with its chat window.
    // A tool window, like the template window: no taskbar entry of its own.
    : QWidget(nullptr,
              Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint),
      Chat(chat), session(session_) {
    setAttribute(Qt::WA_DeleteOnClose);
    if (chat) connect(chat, &QObject::destroyed, this, [this] { delete this; });
    setWindowTitle(QString::fromUtf8("じゃんけん"));
    setFixedSize(178, 35);
    Pnl_janken = new QWidget(this);
    Pnl_janken->setGeometry(0, 0, 178, 35);
    struct Def {
        QToolButton** button;
        int tag;
        const char* hint;
    } defs[] = {{&btn_guu, 1, "ぐぅ"},
                {&btn_tyoki, 2, "ちょき"},
                {&btn_pa, 3, "ぱぁ"},
                {&btn_pass, 4, "パス"}};
    int x = 1;
    for (const auto& d : defs) {
        auto* b = new QToolButton(Pnl_janken);
        b->setGeometry(x, 1, 33, 33);
        b->setIcon(HandIcon(d.tag));
        b->setIconSize(QSize(24, 24));
        b->setToolTip(QString::fromUtf8(d.hint));
        b->setProperty("Tag", d.tag);
        *d.button = b;
        x += 34;
    }
    SpeedButton1 = new QToolButton(Pnl_janken);
    SpeedButton1->setGeometry(x, 1, 178 - x - 1, 33);
    SpeedButton1->setText("RESET");
    SpeedButton1->setProperty("Tag", 5);
    for (QToolButton* b : {btn_guu, btn_tyoki, btn_pa, btn_pass, SpeedButton1})
        connect(b, &QToolButton::clicked, this, [this, b] { btn_guuClick(b); });
}

Tjyankenfm::~Tjyankenfm() = default;

void Tjyankenfm::btn_guuClick(QAbstractButton* Sender) {
    int tag = Sender->property("Tag").toInt();
    if (tag == chat::jhReset) {
        SendJyanken(chat::pkJyankenDecide, chat::jhReset);
    } else if (MyHand == -1) {
        MyHand = tag;
        SendJyanken(chat::pkJyankenDecide, tag);
    }
}

void Tjyankenfm::SendJyanken(int kind, int value) {
    if (!session || !session->OwnPlayer()) return; // the session is gone: nothing to tell
    chat::TPayload payload = kind == chat::pkJyankenDecide ? chat::BuildJyankenDecide(value)
                                                           : chat::BuildJyankenReveal(value);
    // Keep the session pointer: our own copy may close this window meanwhile.
    TCustomDPSession* s = session;
    chat::SendToRoom([s](uint32_t to, const void* data,
                         size_t size) { s->SendData(to, data, static_cast<int>(size)); },
                     s->OwnPlayer()->Id, payload);
}

void Tjyankenfm::HandDecided(const AnsiString& handle) {
    if (std::none_of(Decided.begin(), Decided.end(),
                     [&](const AnsiString& h) { return SameHandle(h, handle); }))
        Decided.push_back(handle);
    if (session && static_cast<int>(Decided.size()) == session->PlayerList().Count()) {
        SendJyanken(chat::pkJyankenReveal, MyHand);
        close();
    }
}

void Tjyankenfm::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    FormShow();
}

void Tjyankenfm::FormShow() {
    if (!Chat || !Chat->isVisible()) return;
    // The frame's top-right corner on the chat window's.
    platform::PlaceFramed(this, [this] {
        if (!Chat) return;
        const QRect c = Chat->frameGeometry();
        platform::MoveFrameTo(this,
                              QPoint(c.right() + 1 - platform::FrameSize(this).width(), c.top()));
    });
}

void Tjyankenfm::closeEvent(QCloseEvent* e) {
    if (OnFormClose) OnFormClose();
    OnFormClose = nullptr;
    e->accept();
}
