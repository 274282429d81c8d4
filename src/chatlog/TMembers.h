#pragma once
// The members present in a chat window's room, shown as bold coloured
// labels on the window's member panel. A member's colour is also the colour
// of its log entries.
#include "platform/AnsiString.h"

#include <QColor>
#include <QLabel>
#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTextEdit>
#include <functional>
#include <vector>

class TMembers : public QObject {
    Q_OBJECT
  public:
    // `panel` is the chat window's MembersPanel; the labels are its children
    // but belong to this list, which frees them.
    explicit TMembers(QWidget* panel);
    ~TMembers() override;
    TMembers(const TMembers&) = delete;
    TMembers& operator=(const TMembers&) = delete;

    // Adds a member with a new label (its colour the first free one) unless
    // the name is already present, in any letter case; then arranges.
    void Add(const AnsiString& playerName);
    // Removes the member and frees its label; an unknown name is ignored.
    void Remove(const AnsiString& playerName);
    // The member's colour; red for a name not present, the empty one included.
    QColor ColorOf(const AnsiString& playerName) const;

    // Visibility of the panel (hidden-state, so it reads right before the
    // window is shown).
    bool Visible() const;
    void SetVisible(bool visible);

    // Lays the labels out left to right, wrapping after a label that ends
    // past the panel's width, and sizes the panel. Hides the panel when
    // there are no members; otherwise shows it exactly when
    // IsShowMemberChecked says so.
    void Arrange();

    // The local member's player name: its label gets a white background.
    AnsiString SelfName;
    // Whether the window's "接続メンバー" item is checked; unset counts as checked.
    std::function<bool()> IsShowMemberChecked;

    // The message box that a click on a label writes the member's player
    // name into. Either kind of edit may be bound; the last call wins.
    void SetMemo(QPlainTextEdit* memo);
    void SetMemo(QTextEdit* memo);
    // A label was clicked: puts its hint (the full player name) into the
    // message box as its first line, or appends it after a blank to the last.
    void MemberClick(QLabel* label);
    // The message box text after a click with `hint` (lines as a memo
    // counts them: a final line break does not start a line of its own).
    static QString MemoTextAfterClick(const QString& memoText, const QString& hint);

    // Members in the order they arrived (for the name guide and tests).
    int Count() const { return static_cast<int>(Names.size()); }
    const AnsiString& Name(int index) const { return Names[index].Name; }
    QLabel* Label(int index) const { return Names[index].Label; }
    int IndexOf(const AnsiString& playerName) const;

    // The 13 member colours in the order they are handed out.
    static const std::vector<QColor>& Palette();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    struct TEntry {
        AnsiString Name;
        QPointer<QLabel> Label;
    };
    QColor FreeColor() const;

    QPointer<QWidget> Panel;
    std::vector<TEntry> Names;
    QPointer<QPlainTextEdit> PlainMemo;
    QPointer<QTextEdit> RichMemo;
};
