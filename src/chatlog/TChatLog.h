#pragma once
// The conversation log of a chat window: read-only rich text, one paragraph
// per log line, each entry in its sender's colour and the chosen font; at
// most 10000 lines. Commands: save (RTF or Shift-JIS text), clear, copy with
// an optional quote mark, select all.
#include "platform/AnsiString.h"

#include <QFont>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <functional>
#include <string>
#include <vector>

class QAction;
class QMenu;
class QTextCharFormat;
class TMembers;

class TChatLog : public QPlainTextEdit {
    Q_OBJECT
  public:
    static constexpr int MaxLines = 10000;
    static constexpr int WarnLines = 9000;

    explicit TChatLog(QWidget* parent = nullptr);
    ~TChatLog() override;

    // Where entry colours come from (ColorOf); without it every entry is red.
    TMembers* Members = nullptr;
    // The font of later entries (the window's font dialog choice): name,
    // style and size are used, not the colour. Starts as the log's font.
    QFont FontD;
    // Called after every entry and after clearing with the caption suffix
    // " [n行]"; the window makes its caption "Parlora:" + room + suffix.
    std::function<void(const AnsiString& suffix)> SetRoomCaption;
    // Called at the end of every entry (the window's arrival notification).
    std::function<void()> NotifyArrival;

    // Appends an entry: `senderName` is a player name, or empty for the
    // program's own lines; `text` is CP932. Always refreshes the caption
    // and notifies, even when the text adds no line.
    void AddLogEntry(const AnsiString& senderName, const AnsiString& text);

    int LineCount() const;
    AnsiString LineAt(int index) const; // CP932
    // The caption suffix for the current line count, " [n行]" (CP932).
    AnsiString LineCountSuffix() const;

    // Menu "ログの保存(&S)": asks for a file name (proposing `roomName`) and
    // saves; nothing happens on cancel. Failures throw platform::Exception.
    void SaveLogClick(const AnsiString& roomName);
    // Saves without asking: a name ending in ".txt" (any case) gets Shift-JIS
    // text with CR LF, any other name RTF. Throws platform::Exception when
    // the file cannot be written.
    void SaveLogToFile(const QString& fileName) const;
    AnsiString LogAsText() const; // every line + CR LF, CP932
    std::string LogAsRtf() const;

    // "ﾌｫﾝﾄ": the font dialog opens on FontD as the user sees it (the
    // installed family that stands in for it, its style and size); a choice
    // becomes the font of later entries. OK without a change keeps FontD as
    // it is, so later entries and the saved RTF name the same font.
    void ChooseFont(QWidget* parent);
    // The font the dialog shows for FontD.
    QFont FontAsSeen() const;

    // Menu "ログのクリアー(&C)": empties the log without asking.
    void ClearLogClick();

    // Pop-up menu and its items.
    QMenu* PopupMenu1 = nullptr;
    QAction* Copy1 = nullptr; // "ｺﾋﾟｰ(&C)", Ctrl+C
    QMenu* N1 = nullptr;      // "ｺﾋﾟｰの引用符付指定"
    QAction* N3 = nullptr;    // "なし"
    QAction* inyo1 = nullptr; // "「 > 」"
    QAction* inyo2 = nullptr; // "「 >> 」"
    QAction* N2 = nullptr;    // "全て選択"

    // Puts QuotedSelection on the clipboard.
    void Copy1Click();
    // One radio group of three that may be left with none checked: the
    // clicked item's check has been reversed; checking it unchecks the rest.
    void N3Click(QAction* item);
    void N2Click();
    // The selection, each line prefixed with ">" or ">>" and ended with
    // CR LF when a quote item is checked; otherwise unchanged.
    QString QuotedSelection() const;

  protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void AppendLines(const std::vector<AnsiString>& lines, size_t begin, size_t end,
                     const QTextCharFormat& format);
    QTextCursor EndCursor() const;
    void ShowLineWarning();
    void TrimToMaxLines();
    // The entries added in one pass of the event loop (a slice of a flood
    // drained by the session's pump) go into the document as one edit, so
    // the layout and the view catch up once per pass, not once per entry.
    void OpenEdit();
    void CloseEdit();

    QTextCursor edit_;
    bool editOpen_ = false;
};
