// The download window against the real controller: the list model, the menus' enabled states, the
// keys and drops, sorting, dragging rows and the filter, and a sheet of every progress style.
#include "app/control/ZRMainController.h"
#include "app/control/ZRPreferenceKeys.h"
#include "app/ui/ZRDesktopUserInterface.h"
#include "app/ui/ZRDownloadListDelegate.h"
#include "app/ui/ZRDownloadListModel.h"
#include "app/ui/ZRDownloadListView.h"
#include "app/ui/ZRDownloadListWindow.h"
#include "core/foundation/ZRPaths.h"
#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRUserDefaults.h"
#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

using namespace ZRTestSupport;

namespace
{

class DownloadWindowTest : public testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + sandboxRoot().toLocal8Bit() + "/no-system-bus");
        ZRUserDefaults::resetStandardInstancesForTesting();
        QDir(ZRApplicationSupportFolderPath()).removeRecursively();
        QFile::remove(ZRConfigurationFolderPath() + QStringLiteral("/Preferences.plist"));
        ZRDownload::setQueuedDownloadStarterForTesting([](ZRDownload &) {});
        controller = ZRMainController::mainController();
        controller->resetForTesting();
        ZRMainController::registerDefaults();
        ui = std::make_unique<ZRDesktopUserInterface>();
        ui->setAlertHandlerForTesting([](const ZRAlert &) { return ZRAlertFirstButton; });
        ui->setAddressPanelHandlerForTesting([this](const QString &text) -> std::optional<QString> {
            addressPanelTexts.append(text);
            return std::nullopt;
        });
        controller->setUserInterface(ui.get());
    }

    void TearDown() override
    {
        controller->resetForTesting();
        ui.reset();
        ZRDownload::setQueuedDownloadStarterForTesting({});
        processEventsFor(1);
    }

    ZRDownloadPtr add(const QString &address, ZRDownloadStatus status, double fraction = 0)
    {
        ZRDownloadPtr download = ZRDownload::downloadWithURLString(address, false);
        EXPECT_TRUE(download) << address.toStdString();
        download->setStatus(status);
        download->setDownloadFraction(fraction);
        controller->appendDownload(download);
        return download;
    }

    // One download of each status; the complete one's file exists.
    void addOneOfEachStatus()
    {
        paused = add(QStringLiteral("http://127.0.0.1:9/paused.zip"), ZRDownloadStatusPaused);
        waiting = add(QStringLiteral("http://127.0.0.1:9/waiting.iso"), ZRDownloadStatusQueued);
        downloading = add(QStringLiteral("http://127.0.0.1:9/running.tar"), ZRDownloadStatusDownloading, 0.6);
        const QString file = sandboxRoot() + QStringLiteral("/done/finished.zzq");
        ASSERT_TRUE(writeFile(file, "done"));
        complete = add(QUrl::fromLocalFile(file).toString(), ZRDownloadStatusComplete);
        complete->userSettings().insert(ZRDownloadKeys::OriginalURL, QStringLiteral("http://127.0.0.1:9/finished.zzq"));
        aborted = add(QStringLiteral("http://127.0.0.1:9/failed.dmg"), ZRDownloadStatusAborted);
    }

    void show()
    {
        controller->updateDownloadListAndStatus();
        model()->flushRedraws();
    }

    ZRDownloadListWindow *window() const { return ui->window(); }
    ZRDownloadListModel *model() const { return window()->listModel(); }
    ZRDownloadListView *view() const { return window()->listView(); }

    QStringList shownNames() const
    {
        QStringList names;
        for (int row = 0; row < model()->rowCount(); ++row)
            names.append(model()->index(row).data().toString());
        return names;
    }

    ZRMainController *controller = nullptr;
    std::unique_ptr<ZRDesktopUserInterface> ui;
    QStringList addressPanelTexts;
    ZRDownloadPtr paused, waiting, downloading, complete, aborted;
};

QStringList strings(std::initializer_list<const char *> texts)
{
    QStringList list;
    for (const char *text : texts)
        list.append(QString::fromUtf8(text));
    return list;
}

// "Title" for an enabled item, "Title-" for a disabled one, "Title>" for a submenu; lines and
// separators left out.
QStringList describe(const ZRMenu &menu)
{
    QStringList items;
    for (const ZRMenuItem &item : menu) {
        if (item.kind == ZRMenuItem::Kind::Item)
            items.append(item.title + (item.enabled ? QString() : QStringLiteral("-")));
        else if (item.kind == ZRMenuItem::Kind::Submenu)
            items.append(item.title + QStringLiteral(">") + (item.enabled ? QString() : QStringLiteral("-")));
    }
    return items;
}

} // namespace

TEST_F(DownloadWindowTest, ModelPassesTheTesterAndGathersRedraws)
{
    addOneOfEachStatus();
    QAbstractItemModelTester tester(model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    show();
    ASSERT_EQ(model()->rowCount(), 5);
    const QList<quint64> statuses{1, 2, 4, 8, 16};
    for (int row = 0; row < 5; ++row) {
        const QModelIndex index = model()->index(row);
        EXPECT_EQ(index.data(ZRDownloadListModel::StatusRole).toULongLong(), statuses.at(row));
        EXPECT_FALSE(index.data(ZRDownloadListModel::StatusTextRole).toString().isEmpty());
        EXPECT_FALSE(qvariant_cast<QIcon>(index.data(Qt::DecorationRole)).isNull());
    }
    EXPECT_EQ(model()->index(0).data(ZRDownloadListModel::StatusTextRole).toString().left(7), QStringLiteral("Pending"));
    EXPECT_DOUBLE_EQ(model()->index(2).data(ZRDownloadListModel::ProgressRole).toDouble(), 0.6);

    // Many redraws in one turn of the event loop: one dataChanged over the rows they touched.
    QSignalSpy changes(model(), &QAbstractItemModel::dataChanged);
    for (int round = 0; round < 50; ++round) {
        ui->redrawDownload(waiting.get());
        ui->redrawDownload(complete.get());
    }
    EXPECT_EQ(changes.size(), 0);
    processEventsFor(5);
    ASSERT_EQ(changes.size(), 1);
    EXPECT_EQ(changes.first().at(0).toModelIndex().row(), 1);
    EXPECT_EQ(changes.first().at(1).toModelIndex().row(), 3);

    // A new order resets the rows; the tester checks every step.
    controller->changeSorting(ZRDownloadSortCriterionName);
    EXPECT_EQ(model()->rowCount(), 5);
    controller->setFilterString(QStringLiteral("zip"));
    EXPECT_EQ(model()->rowCount(), 1);
}

TEST_F(DownloadWindowTest, ContextMenuAndCommandsAreEnabledPerSelection)
{
    addOneOfEachStatus();
    show();
    const QStringList general{QStringLiteral("Download to>"), QStringLiteral("Sort by>"),
                              QStringLiteral("Show Addresses"), QStringLiteral("Progress Indicator>"),
                              QStringLiteral("Start Downloads Automatically"), QStringLiteral("Shut Down When Done..."),
                              QStringLiteral("Rearrange Queue by>")};
    struct Row {
        const char *kind;
        ZRDownloadList selection;
        QList<const char *> menu; // before the general part
        // Start, Pause, Pause All, Cancel..., Copy URLs
        QList<bool> commands;
    };
    const QList<Row> rows = {
        {"paused", {paused}, {"Start Download", "Start Download Now", "Remove", "Accelerate", "Open URL", "Copy URL"},
         {true, false, false, true, true}},
        {"waiting", {waiting}, {"Start Download Now", "Pause Download", "Remove", "Accelerate", "Open URL", "Copy URL"},
         {false, true, true, true, true}},
        {"downloading", {downloading}, {"Pause Download", "Remove", "Open URL", "Copy URL"},
         {false, false, true, true, true}},
        {"complete",
         {complete},
         {"Open", "Show in Finder", "Move to Trash", "Copy Path", "Open Original URL", "Copy Original URL"},
         {false, false, false, false, true}},
        {"aborted", {aborted}, {"Retry", "Open URL", "Copy URL"}, {false, false, false, false, true}},
        {"paused and waiting", {paused, waiting}, {"Remove", "Open URLs", "Copy URLs"}, {true, true, true, true, true}},
        {"waiting and running", {waiting, downloading}, {"Pause Downloads", "Remove", "Open URLs", "Copy URLs"},
         {false, true, true, true, true}},
        {"finished ones", {complete, aborted}, {"Remove", "Open URLs", "Copy URLs"}, {false, false, false, false, true}},
        // Nothing selected: the commands act on every row shown.
        {"none", {}, {}, {true, true, true, true, true}},
    };
    const QList<ZRMenuCommand> commands{ZRMenuCommand::QueuePaused, ZRMenuCommand::PauseQueued,
                                        ZRMenuCommand::PauseAll, ZRMenuCommand::CancelAll, ZRMenuCommand::Copy};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.kind);
        view()->selectDownloads(row.selection);
        ASSERT_EQ(ui->selectedDownloads(), row.selection);
        QStringList menu;
        for (const char *title : row.menu)
            menu.append(QString::fromUtf8(title));
        EXPECT_EQ(describe(controller->contextMenuForDownloads(row.selection, 13)), menu + general);
        window()->refreshActions();
        for (qsizetype index = 0; index < commands.size(); ++index)
            EXPECT_EQ(window()->actionForCommand(commands.at(index))->isEnabled(), row.commands.at(index))
                << window()->actionForCommand(commands.at(index))->text().toStdString();
    }
    // Clear is there while something finished is; the rearrange menu with two downloads or more.
    EXPECT_TRUE(window()->actionForCommand(ZRMenuCommand::Clear)->isEnabled());
    for (const ZRDownloadPtr &finished : {complete, aborted})
        controller->removeDownload(finished.get());
    controller->removeDownload(waiting.get());
    controller->removeDownload(downloading.get());
    window()->refreshActions();
    EXPECT_FALSE(window()->actionForCommand(ZRMenuCommand::Clear)->isEnabled());
    EXPECT_FALSE(describe(controller->contextMenuForDownloads({paused}, 13)).contains(QStringLiteral("Rearrange Queue by>")));
    EXPECT_FALSE(describe(controller->contextMenuForDownloads({paused}, 13)).contains(QStringLiteral("Start Download Now")));
}

TEST_F(DownloadWindowTest, KeysAndDropsReachTheControllersCommands)
{
    addOneOfEachStatus();
    show();
    window()->show();
    window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window()));
    view()->setFocus();
    QList<std::pair<ZRMenuCommand, ZRDownloadList>> seen;
    // Opening would launch an application: that one is only recorded.
    controller->setMenuCommandObserverForTesting([&](const ZRMenuItem &item) {
        seen.append({item.command, item.downloads});
        return item.command == ZRMenuCommand::Open;
    });

    view()->selectDownloads({complete});
    QTest::keyClick(view(), Qt::Key_Return);
    view()->selectDownloads({paused, waiting});
    QTest::keyClick(view(), Qt::Key_Space);
    view()->selectDownloads({aborted});
    QTest::keyClick(view(), Qt::Key_Delete);
    const QList<std::pair<ZRMenuCommand, ZRDownloadList>> expected{
        {ZRMenuCommand::Open, {complete}},
        {ZRMenuCommand::TogglePause, {paused, waiting}},
        {ZRMenuCommand::Remove, {aborted}},
    };
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(paused->status(), ZRDownloadStatusQueued);
    EXPECT_EQ(waiting->status(), ZRDownloadStatusPaused);
    EXPECT_TRUE(waitUntil([&] { return !controller->downloads().contains(aborted); }));

    // Ctrl+V takes the clipboard's addresses.
    seen.clear();
    QGuiApplication::clipboard()->setText(QStringLiteral("http://127.0.0.1:9/pasted.bin"));
    QTest::keyClick(view(), Qt::Key_V, Qt::ControlModifier);
    ASSERT_EQ(seen.size(), 1);
    EXPECT_EQ(seen.first().first, ZRMenuCommand::OpenURLFromPasteboard);
    EXPECT_TRUE(addressPanelTexts.isEmpty());
    EXPECT_EQ(controller->downloads().last()->originalURLString(), QStringLiteral("http://127.0.0.1:9/pasted.bin"));
    // Text that is not one address a line goes to the address panel to be looked at.
    QGuiApplication::clipboard()->setText(QStringLiteral("see http://127.0.0.1:9/other.bin"));
    QTest::keyClick(view(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(addressPanelTexts, QStringList{QStringLiteral("see http://127.0.0.1:9/other.bin")});

    // A text/uri-list dropped on the list joins the queue on the next turn.
    QMimeData data;
    data.setUrls({QUrl(QStringLiteral("http://127.0.0.1:9/dropped.iso"))});
    const QPoint point = view()->viewport()->rect().center();
    QDragEnterEvent enter(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view()->viewport(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(point), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view()->viewport(), &drop);
    EXPECT_TRUE(waitUntil([&] {
        return controller->downloads().last()->originalURLString() == QStringLiteral("http://127.0.0.1:9/dropped.iso");
    }));
}

TEST_F(DownloadWindowTest, SortsByEachCriterionWithItsTieBreak)
{
    const ZRDownloadPtr d1 = add(QStringLiteral("http://b.example/x/a.zip"), ZRDownloadStatusDownloading, 0.5);
    const ZRDownloadPtr d2 = add(QStringLiteral("http://a.example/y/b.zip"), ZRDownloadStatusDownloading, 0.2);
    const ZRDownloadPtr d3 = add(QStringLiteral("http://a.example/z/a.zip"), ZRDownloadStatusPaused);
    const ZRDownloadPtr d4 = add(QStringLiteral("http://a.example/w/b.zip"), ZRDownloadStatusDownloading, 0.2);
    struct Row {
        qint64 criterion;
        bool inverted;
        ZRDownloadList order;
    };
    const QList<Row> rows = {
        {ZRDownloadSortCriterionDate, false, {d1, d2, d3, d4}},  // queue order
        {ZRDownloadSortCriterionName, false, {d3, d1, d4, d2}},  // same names: by address
        {ZRDownloadSortCriterionProgress, false, {d3, d4, d2, d1}},
        {ZRDownloadSortCriterionHost, false, {d3, d4, d2, d1}},  // same host: by name, then address
        {ZRDownloadSortCriterionAddress, false, {d4, d2, d3, d1}},
        {ZRDownloadSortCriterionName, true, {d2, d4, d1, d3}},
        {ZRDownloadSortCriterionDate, true, {d4, d3, d2, d1}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.criterion * 10 + row.inverted);
        controller->changeSorting(row.inverted ? -2 : -1);
        controller->changeSorting(row.criterion);
        EXPECT_EQ(model()->downloads(), row.order);
        EXPECT_EQ(controller->downloads(), (ZRDownloadList{d1, d2, d3, d4}));
    }
    // The sort menu marks the criterion and the direction.
    for (const ZRMenuItem &item : controller->sortMenu()) {
        if (item.kind == ZRMenuItem::Kind::Item) {
            EXPECT_EQ(item.checked, item.tag == ZRDownloadSortCriterionDate || item.tag == -2) << item.title.toStdString();
        }
    }
}

TEST_F(DownloadWindowTest, DraggingTwoRowsReordersTheQueueAndItsArchive)
{
    ZRDownloadList queue;
    for (const char *name : {"zero", "one", "two", "three"})
        queue.append(add(QStringLiteral("http://127.0.0.1:9/") + QLatin1String(name), ZRDownloadStatusPaused));
    show();
    const auto archivedNames = [] {
        QStringList names;
        const std::optional<QVariant> archive =
            ZRPropertyList::propertyListWithContentsOfFile(ZRMainController::mainController()->queueArchivePath());
        for (const QVariant &element : archive ? archive->toList() : QVariantList())
            names.append(QUrl(element.toMap().value(ZRDownloadKeys::URL).toString()).fileName());
        return names;
    };

    std::unique_ptr<QMimeData> data(model()->mimeData({model()->index(1), model()->index(2)}));
    ASSERT_TRUE(data);
    // Where the rows would stay where they are, the drop is refused.
    for (const int row : {1, 2, 3})
        EXPECT_FALSE(model()->canDropMimeData(data.get(), Qt::MoveAction, row, 0, QModelIndex())) << row;
    EXPECT_FALSE(model()->canDropMimeData(data.get(), Qt::MoveAction, -1, 0, model()->index(0)));
    ASSERT_TRUE(model()->dropMimeData(data.get(), Qt::MoveAction, 0, 0, QModelIndex()));
    EXPECT_EQ(controller->downloads(), (ZRDownloadList{queue[1], queue[2], queue[0], queue[3]}));
    EXPECT_EQ(shownNames(), (strings({"one", "two", "zero", "three"})));
    EXPECT_EQ(archivedNames(), (strings({"one", "two", "zero", "three"})));
    EXPECT_EQ(ui->selectedDownloads(), (ZRDownloadList{queue[1], queue[2]}));

    // Shown inverted, a drop on the top moves rows to the end of the queue.
    controller->changeSorting(-2);
    data.reset(model()->mimeData({model()->index(3)})); // "one", at the bottom
    ASSERT_TRUE(data);
    ASSERT_TRUE(model()->dropMimeData(data.get(), Qt::MoveAction, 0, 0, QModelIndex()));
    EXPECT_EQ(controller->downloads(), (ZRDownloadList{queue[2], queue[0], queue[3], queue[1]}));
    EXPECT_EQ(archivedNames(), (strings({"two", "zero", "three", "one"})));

    // Rows sorted by name, or filtered, stay where they are.
    controller->changeSorting(ZRDownloadSortCriterionName);
    EXPECT_EQ(model()->mimeData({model()->index(0)}), nullptr);
    controller->changeSorting(ZRDownloadSortCriterionDate);
    controller->setFilterString(QStringLiteral("t"));
    EXPECT_EQ(model()->mimeData({model()->index(0)}), nullptr);
}

TEST_F(DownloadWindowTest, FilterNarrowsTheRowsAndTheStatusLineSaysHowMany)
{
    add(QStringLiteral("http://127.0.0.1:9/alpha.zip"), ZRDownloadStatusPaused);
    add(QStringLiteral("http://127.0.0.1:9/beta.zip"), ZRDownloadStatusPaused);
    add(QStringLiteral("http://other.example/alphabet.iso"), ZRDownloadStatusPaused);
    show();
    EXPECT_EQ(window()->statusLabel()->text(), QStringLiteral("3 downloads"));
    QTest::keyClicks(window()->filterField(), QStringLiteral("alpha"));
    EXPECT_EQ(shownNames(), (strings({"alpha.zip", "alphabet.iso"})));
    EXPECT_EQ(window()->statusLabel()->text(), QStringLiteral("3 downloads \u2014 1 filtered"));
    // Words narrow further; the URL scope looks at addresses.
    window()->filterField()->setText(QStringLiteral("alpha iso"));
    EXPECT_EQ(shownNames(), (strings({"alphabet.iso"})));
    window()->filterField()->setText(QStringLiteral("other"));
    EXPECT_TRUE(shownNames().isEmpty());
    controller->setToolbarFilterCriterion(QStringLiteral("URL"));
    EXPECT_EQ(shownNames(), (strings({"alphabet.iso"})));
    window()->filterField()->clear();
    EXPECT_EQ(model()->rowCount(), 3);
    EXPECT_EQ(window()->statusLabel()->text(), QStringLiteral("3 downloads"));
}

// Every progress style, in a light and a dark palette, with a selected row, at device pixel ratio 2.
TEST_F(DownloadWindowTest, ProgressStylesSheet)
{
    add(QStringLiteral("http://127.0.0.1:9/Debian%2012%20netinst.iso"), ZRDownloadStatusDownloading, 0.62);
    add(QStringLiteral("http://127.0.0.1:9/photos-2024.tar.gz"), ZRDownloadStatusDownloading, 0.27);
    add(QStringLiteral("http://127.0.0.1:9/manual.pdf"), ZRDownloadStatusQueued);
    add(QStringLiteral("http://127.0.0.1:9/paused.mkv"), ZRDownloadStatusPaused);
    show();
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::Text, QColor(0xe8, 0xe8, 0xe8));
    dark.setColor(QPalette::WindowText, QColor(0xe8, 0xe8, 0xe8));
    dark.setColor(QPalette::Highlight, QColor(0x3d, 0x7a, 0xd6));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3a));
    const QList<QPalette> palettes{QApplication::palette(), dark};
    const QStringList titles = strings({"Lively Background", "Subtle Background", "Pill", "Divider Line"});

    ZRDownloadListView list;
    list.setModel(model());
    auto *delegate = qobject_cast<ZRDownloadListDelegate *>(list.itemDelegate());
    ASSERT_TRUE(delegate);
    list.resize(520, 4 * ZRDownloadListDelegate::rowHeight(list.fontMetrics()) + 2);
    list.selectDownloads({controller->downloads().at(1)});
    const qreal ratio = 2;
    const QSize panel = list.size();
    const int labelHeight = 26;
    QImage sheet(QSize(2 * panel.width() + 30, 4 * (panel.height() + labelHeight) + 10) * ratio,
                 QImage::Format_ARGB32_Premultiplied);
    sheet.setDevicePixelRatio(ratio);
    sheet.fill(QColor(0xd0, 0xd0, 0xd0));
    QPainter painter(&sheet);
    for (int style = 0; style < 4; ++style) {
        delegate->setProgressBarStyleOverride(style);
        for (int column = 0; column < 2; ++column) {
            list.setPalette(palettes.at(column));
            QImage image(panel * ratio, QImage::Format_ARGB32_Premultiplied);
            image.setDevicePixelRatio(ratio);
            list.render(&image);
            const QPoint origin(10 + column * (panel.width() + 10), 5 + style * (panel.height() + labelHeight));
            painter.setPen(Qt::black);
            painter.drawText(QRect(origin, QSize(panel.width(), labelHeight)), Qt::AlignLeft | Qt::AlignVCenter,
                             titles.at(style) + (column ? QStringLiteral(" (dark)") : QString()));
            painter.drawImage(origin + QPoint(0, labelHeight), image);

            // The running rows show their progress: the same row at 0 % looks different.
            const QRect firstRow = list.visualRect(model()->index(0));
            const QImage drawn = image.copy(QRect(firstRow.topLeft() * ratio, firstRow.size() * ratio));
            controller->downloads().at(0)->setDownloadFraction(0);
            QImage empty(panel * ratio, QImage::Format_ARGB32_Premultiplied);
            empty.setDevicePixelRatio(ratio);
            list.render(&empty);
            controller->downloads().at(0)->setDownloadFraction(0.62);
            EXPECT_NE(drawn, empty.copy(QRect(firstRow.topLeft() * ratio, firstRow.size() * ratio)))
                << titles.at(style).toStdString() << " " << column;
        }
    }
    painter.end();
    QDir().mkpath(QStringLiteral(QUORVEL_SCREENSHOT_DIR));
    EXPECT_TRUE(sheet.save(QStringLiteral(QUORVEL_SCREENSHOT_DIR "/progress-styles.png")));
    if (qEnvironmentVariableIntValue("QUORVEL_UPDATE_SCREENSHOTS") == 1) {
        QDir().mkpath(QStringLiteral(QUORVEL_DOCS_DIR "/screenshots"));
        EXPECT_TRUE(sheet.save(QStringLiteral(QUORVEL_DOCS_DIR "/screenshots/progress-styles.png")));
    }
}

// "Rubber Window": the height follows the rows, within the screen; "Full Screen Mode Behavior":
// the View menu's command goes full screen, maximises instead, or is not offered.
TEST_F(DownloadWindowTest, WindowHeightAndFullScreenFollowTheirSettings)
{
    ZRUserDefaults &settings = ZRUserDefaults::standardUserDefaults();
    settings.setBool(false, ZRPreferenceKey::UselessAnimations);
    window()->show();
    const int fixed = window()->height();
    ZRDownloadList rows;
    for (int index = 0; index < 3; ++index)
        rows.push_back(add(QStringLiteral("http://127.0.0.1:9/%1.zip").arg(index), ZRDownloadStatusPaused));
    show();
    EXPECT_EQ(window()->height(), fixed) << "off: the user's height stays";
    EXPECT_FALSE(window()->rubberHeight());

    settings.setBool(true, ZRPreferenceKey::RubberWindow);
    const int three = window()->height();
    ASSERT_TRUE(window()->rubberHeight());
    EXPECT_EQ(three, *window()->rubberHeight());
    for (int index = 3; index < 6; ++index)
        rows.push_back(add(QStringLiteral("http://127.0.0.1:9/%1.zip").arg(index), ZRDownloadStatusPaused));
    show();
    const int six = window()->height();
    EXPECT_EQ(six - three, 3 * view()->sizeHintForRow(0));
    for (int index = 0; index < 300; ++index)
        add(QStringLiteral("http://127.0.0.1:9/many-%1.zip").arg(index), ZRDownloadStatusPaused);
    show();
    EXPECT_LE(window()->frameGeometry().height(), window()->screen()->availableGeometry().height());
    while (controller->downloads().size() > 3)
        controller->removeDownload(controller->downloads().back().get());
    show();
    EXPECT_EQ(window()->height(), three);

    QAction *fullScreen = window()->fullScreenAction();
    const struct {
        qint64 behavior;
        bool offered;
        bool fullScreen;
        bool maximised;
    } behaviors[] = {{0, false, false, false}, {1, true, true, false}, {2, true, false, true}};
    for (const auto &row : behaviors) {
        SCOPED_TRACE(row.behavior);
        settings.setInteger(row.behavior, ZRPreferenceKey::FullScreenModeBehavior);
        EXPECT_EQ(fullScreen->isEnabled(), row.offered);
        fullScreen->trigger();
        processEventsFor(10);
        EXPECT_EQ(window()->isFullScreen(), row.fullScreen);
        EXPECT_EQ(window()->isMaximized(), row.maximised);
        EXPECT_EQ(fullScreen->isChecked(), row.fullScreen || row.maximised);
        if (row.behavior == 1) {
            // Changed while in full screen: the window leaves it for what the setting now gives.
            settings.setInteger(2, ZRPreferenceKey::FullScreenModeBehavior);
            EXPECT_FALSE(window()->isFullScreen());
            EXPECT_TRUE(window()->isMaximized());
        }
        window()->showNormal();
        processEventsFor(10);
    }
}
