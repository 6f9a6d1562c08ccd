// Texts that come from the store, shown by the real window: a game's title in the remove
// question, the row's tooltip and the ready balloon, and the store's refusal in the warning box.
// Each must read exactly as the store sent it, never as markup.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QHelpEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTextDocument>
#include <QToolTip>

#include "app/RowView.h"
#include "controls/ProgressListView.h"
#include "core/MessageIds.h"
#include "support/WindowFixture.h"
#include "ui/QtText.h"

namespace {

struct HostileTitle {
    const char* label;
    const char* text;
};

// Each looks like markup to Qt's guess, or turns into other text once read as markup.
const HostileTitle kTitles[] = {
    {"OpenComment", "Hidden <!--"},
    {"Bold", "<b>x</b> Deluxe"},
    {"Image", "<img src=x> Edition"},
    {"Entity", "Tom &amp; Jerry"},
};

// A JSON string literal of plain ASCII text.
std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// What a reader makes of a tooltip: markup when Qt guesses so (as QToolTip does), else the text.
QString ShownToolTip(const QString& tip) {
    if (!Qt::mightBeRichText(tip)) {
        return tip;
    }
    QTextDocument document;
    document.setHtml(tip);
    return document.toPlainText();
}

struct SeenBox {
    Qt::TextFormat format = Qt::AutoText;
    QString text;
};

class StoreTextsTest : public ::testing::Test, public WindowFixture {};

TEST_F(StoreTextsTest, TitlesAndRefusalsAreShownAsPlainText) {
    StoreSignIn();
    CVelkDownloaderDlg& window = StartWindow();
    ASSERT_TRUE(SignedInAndOnline());

    int index = 0;
    for (const HostileTitle& title : kTitles) {
        SCOPED_TRACE(title.label);
        const std::string game = "hostile-title-" + std::to_string(index);
        const std::string refused = "refused-" + std::to_string(index);
        ++index;
        const QString expected = QString::fromUtf8(title.text);
        // One file now and one on release, so that the row has a tooltip.
        store.AddGame(R"({"name":")" + game + R"(","title":)" + Json(title.text) +
                      R"(,"owned":true,"files":[)"
                      R"({"id":0,"path":"a.bin","size":1000,"seed":"t/0","chunk_size":65536,)"
                      R"("timestamp":"1714557700"},)"
                      R"({"id":1,"path":"b.bin","size":1000,"seed":"t/1","chunk_size":65536,)"
                      R"("timestamp":"1714557700","available":false,"notavailablemsg":"later"}]})");
        const std::u16string name = Utf8ToWide(game);
        Lifecycle().AddItemFromUrl(name);
        ASSERT_TRUE(PumpUntil([&] {
            const DownloadInfo* item = Lifecycle().FindItem(name);
            return item != nullptr && item->title == expected.toStdU16String() &&
                   window.List()->FindRow(name) >= 0 &&
                   !window.List()->TooltipText(window.List()->FindRow(name)).isEmpty();
        }));

        // The remove question holds the whole title and the end of the question after it.
        {
            SeenBox seen;
            DialogAnswerer<QMessageBox> no([&](QMessageBox& box) {
                seen = {box.textFormat(), box.text()};
                box.button(QMessageBox::No)->click();
            });
            window.OnRowCommand(WM_APP_REMOVE_ITEM, name, 1);
            ASSERT_TRUE(PumpUntil([&] { return no.Count() == 1; }));
            EXPECT_EQ(seen.format, Qt::PlainText);
            EXPECT_EQ(seen.text, QStringLiteral("Are you sure you want to remove \"") + expected +
                                     QStringLiteral("\" from the list and from the disk?"));
        }

        // The row's tooltip reads the title as it stands.
        const QRect rowRect = window.List()->GetRowRect(window.List()->FindRow(name));
        QHelpEvent help(QEvent::ToolTip, rowRect.center(),
                        window.List()->mapToGlobal(rowRect.center()));
        QCoreApplication::sendEvent(window.List(), &help);
        ASSERT_TRUE(PumpUntil([] { return QToolTip::isVisible(); }));
        EXPECT_TRUE(ShownToolTip(QToolTip::text()).startsWith(expected + QStringLiteral("\n")))
            << QToolTip::text().toStdString();
        QToolTip::hideText();

        // The ready balloon's title: no reader takes it for markup, and it looks the same.
        window.Tray().Show(true);
        window.ShowReadyBalloon(expected.toStdU16String());
        const QString balloon = window.Tray().LastBalloonTitle();
        EXPECT_FALSE(Qt::mightBeRichText(balloon)) << balloon.toStdString();
        EXPECT_EQ(QString(balloon).remove(QChar(0x2060)), expected);
        const QFontMetrics metrics(QApplication::font());
        EXPECT_EQ(metrics.horizontalAdvance(balloon), metrics.horizontalAdvance(expected));
        window.Tray().Hide();

        // The store's refusal, in its own words, in the warning box.
        store.SetFault(R"({"server":"api","path":"/en/downloader/gameDetails/)" + refused +
                       R"(","fail_next":1,"status":403,"body":)" +
                       Json(std::string("<h1>403 Forbidden</h1><h3>") + title.text + "</h3>") +
                       "}");
        SeenBox refusal;
        DialogAnswerer<QMessageBox> ok([&](QMessageBox& box) {
            refusal = {box.textFormat(), box.text()};
            box.button(QMessageBox::Ok)->click();
        });
        Lifecycle().AddItemFromUrl(Utf8ToWide(refused));
        ASSERT_TRUE(PumpUntil([&] { return ok.Count() == 1; }));
        EXPECT_EQ(refusal.format, Qt::PlainText);
        EXPECT_EQ(refusal.text, expected);
    }
}

}  // namespace
