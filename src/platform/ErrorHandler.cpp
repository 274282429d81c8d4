#include "ErrorHandler.h"

#include "Exception.h"
#include "QtText.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>

namespace platform {
namespace {
MessageBoxDetailsHook& Hook() {
    static MessageBoxDetailsHook hook;
    return hook;
}
} // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
    if (!hook) {
        Hook() = nullptr;
        return;
    }
    Hook() = [hook = std::move(hook)](const QString& text, const QString& caption, unsigned flags,
                                      const QString&) { return hook(text, caption, flags); };
}

void SetMessageBoxDetailsHook(MessageBoxDetailsHook hook) {
    Hook() = std::move(hook);
}

int MessageBox(QWidget* parent, const AnsiString& text, const AnsiString& caption, unsigned flags) {
    return MessageBoxQ(parent, ToQString(text), ToQString(caption), flags);
}

int MessageBoxQ(QWidget* parent, const QString& text, const QString& caption, unsigned flags,
                const QString& details) {
    if (Hook()) return Hook()(text, caption, flags, details);
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        std::fprintf(stderr, "%s: %s\n", caption.toUtf8().constData(), text.toUtf8().constData());
        if (!details.isEmpty()) std::fprintf(stderr, "  %s\n", details.toUtf8().constData());
        return (flags & 0xF) == MB_YESNO ? IDNO : IDOK;
    }
    QMessageBox box(parent);
    box.setWindowTitle(caption);
    box.setText(text);
    if (!details.isEmpty()) box.setDetailedText(details);
    switch (flags & 0xF0) {
    case MB_ICONERROR:
        box.setIcon(QMessageBox::Critical);
        break;
    case MB_ICONQUESTION:
        box.setIcon(QMessageBox::Question);
        break;
    case MB_ICONWARNING:
        box.setIcon(QMessageBox::Warning);
        break;
    case MB_ICONINFORMATION:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        break;
    }
    box.setWindowModality(Qt::ApplicationModal);
    switch (flags & 0xF) {
    case MB_OKCANCEL: {
        auto* ok = box.addButton(QMessageBox::Ok);
        box.addButton(QMessageBox::Cancel);
        box.exec();
        return box.clickedButton() == ok ? IDOK : IDCANCEL;
    }
    case MB_YESNO: {
        auto* yes = box.addButton(QMessageBox::Yes);
        box.addButton(QMessageBox::No);
        box.exec();
        return box.clickedButton() == yes ? IDYES : IDNO;
    }
    default:
        box.addButton(QMessageBox::Ok);
        box.exec();
        return IDOK;
    }
}

void ShowException(const std::exception& e) {
    if (dynamic_cast<const EAbort*>(&e)) return;
    // Our own errors carry CP932 text; anything else (the standard library's) is plain ASCII.
    QString details;
    if (auto* own = dynamic_cast<const Exception*>(&e)) details = ToQString(own->Details);
    MessageBoxQ(QApplication::activeWindow(), ToQString(e.what()), "Parlora", MB_OK | MB_ICONERROR,
                details);
}

void HandleCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        MessageBox(nullptr, "Unknown error", "Parlora", MB_OK | MB_ICONERROR);
    }
}

void Beep() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) QApplication::beep();
}

} // namespace platform
