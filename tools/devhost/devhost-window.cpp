#include "devhost-window.h"

#include <obs-standin.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QDockWidget>
#include <QFont>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QSplitter>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <util/base.h>

namespace {

constexpr int kRenderDelayMs = 20;
constexpr int kMaxHostLogLines = 1000;
const QString kBrowserSourceType = QStringLiteral("browser_source");

QString settingText(const QVariantMap &settings, const char *key)
{
	const QVariant value = settings.value(QLatin1String(key));
	return value.isValid() ? value.toString() : QStringLiteral("—");
}

QString link(const QString &url)
{
	return QStringLiteral("<a href=\"%1\">%1</a>").arg(url.toHtmlEscaped());
}

} // namespace

DevHostWindow::DevHostWindow(const DevHostInfo &info, QWidget *parent) : QMainWindow(parent), info(info)
{
	setWindowTitle(QStringLiteral("KELP dev host"));
	setObjectName(QStringLiteral("devHostWindow"));
	setDockOptions(AnimatedDocks | AllowTabbedDocks);
	resize(1280, 800);
	buildCentral();
	buildMenus();

	// Redraw when the stand-in reports a change, a few at a time, instead of waking up to look.
	renderTimer.setSingleShot(true);
	renderTimer.setInterval(kRenderDelayMs);
	connect(&renderTimer, &QTimer::timeout, this, &DevHostWindow::poll);
	standin::setChangeObserver([this] {
		if (!renderTimer.isActive())
			renderTimer.start();
	});
}

DevHostWindow::~DevHostWindow()
{
	standin::setChangeObserver(nullptr);
}

void DevHostWindow::buildMenus()
{
	QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
	QAction *quit = file->addAction(QStringLiteral("&Quit"), qApp, &QApplication::quit);
	quit->setShortcut(QKeySequence::Quit);

	QMenu *hostMenu = menuBar()->addMenu(QStringLiteral("&Host"));
	hostMenu->addAction(QStringLiteral("Add &Scene"), this, &DevHostWindow::addNextScene);
	hostMenu->addSeparator();
	noSceneAction = hostMenu->addAction(QStringLiteral("&No Current Scene"));
	noSceneAction->setCheckable(true);
	noSceneAction->setToolTip(QStringLiteral("OBS answers no current scene, as while a scene collection loads."));
	connect(noSceneAction, &QAction::toggled, this, [this](bool none) {
		if (none)
			setCurrentScene(QString());
		else if (current.isEmpty())
			setCurrentScene(lastScene.isEmpty() ? scenes.value(0) : lastScene);
	});
	browserMissingAction = hostMenu->addAction(QStringLiteral("OBS &Browser Missing"));
	browserMissingAction->setCheckable(true);
	browserMissingAction->setToolTip(
		QStringLiteral("No Browser Source type is registered, as without the OBS Browser plug-in."));
	connect(browserMissingAction, &QAction::toggled, this,
		[](bool missing) { standin::setSourceTypeRegistered(kBrowserSourceType, !missing); });
	refuseAction = hostMenu->addAction(QStringLiteral("Scenes &Refuse New Sources"));
	refuseAction->setCheckable(true);
	connect(refuseAction, &QAction::toggled, this, &DevHostWindow::setScenesRefuseSources);

	QMenu *service = menuBar()->addMenu(QStringLiteral("&Service"));
	if (!info.simulatorPage.isEmpty()) {
		service->addAction(QStringLiteral("Open &Simulator Page"), this,
				   [this] { QDesktopServices::openUrl(QUrl(info.simulatorPage)); });
	}
	service->addAction(QStringLiteral("Open &Widget Page"), this,
			   [this] { QDesktopServices::openUrl(QUrl(info.widgetUrl)); });

	viewMenu = menuBar()->addMenu(QStringLiteral("&Docks"));
}

void DevHostWindow::buildCentral()
{
	auto *central = new QWidget(this);
	auto *layout = new QVBoxLayout(central);
	layout->setContentsMargins(12, 10, 12, 12);
	layout->setSpacing(8);

	auto *about = new QLabel(central);
	about->setObjectName(QStringLiteral("aboutLabel"));
	about->setTextFormat(Qt::RichText);
	about->setOpenExternalLinks(true);
	about->setTextInteractionFlags(Qt::TextBrowserInteraction);
	about->setWordWrap(true);
	QString text =
		QStringLiteral("<b>Service</b> %1%2")
			.arg(link(info.serviceOrigin),
			     info.simulatorPage.isEmpty()
				     ? QString()
				     : QStringLiteral(" — built-in simulator, page %1").arg(link(info.simulatorPage)));
	text += QStringLiteral("<br><b>Widget</b> %1").arg(link(info.widgetUrl));
	text += QStringLiteral("<br><b>Home</b> %1").arg(info.home.toHtmlEscaped());
	about->setText(text);
	layout->addWidget(about);

	auto *sceneRow = new QHBoxLayout();
	auto *sceneLabel = new QLabel(QStringLiteral("Current scene"), central);
	QFont bold = sceneLabel->font();
	bold.setBold(true);
	sceneLabel->setFont(bold);
	sceneBox = new QComboBox(central);
	sceneBox->setObjectName(QStringLiteral("sceneBox"));
	sceneBox->setMinimumContentsLength(16);
	connect(sceneBox, &QComboBox::activated, this,
		[this](int index) { setCurrentScene(sceneBox->itemData(index).toString()); });
	sceneRow->addWidget(sceneLabel);
	sceneRow->addWidget(sceneBox);
	sceneRow->addStretch(1);
	layout->addLayout(sceneRow);

	auto *splitter = new QSplitter(Qt::Vertical, central);
	auto *sceneArea = new QWidget(splitter);
	auto *sceneLayout = new QVBoxLayout(sceneArea);
	sceneLayout->setContentsMargins(0, 0, 0, 0);
	sourceTree = new QTreeWidget(sceneArea);
	sourceTree->setObjectName(QStringLiteral("sourceTree"));
	sourceTree->setRootIsDecorated(false);
	sourceTree->setAlternatingRowColors(true);
	sourceTree->setHeaderLabels({QStringLiteral("Source"), QStringLiteral("Type"), QStringLiteral("Width"),
				     QStringLiteral("Height"), QStringLiteral("Position"), QStringLiteral("URL")});
	sourceTree->header()->setStretchLastSection(true);
	sceneLayout->addWidget(sourceTree);
	sceneHint = new QLabel(sceneArea);
	sceneHint->setWordWrap(true);
	sceneHint->setEnabled(false);
	sceneLayout->addWidget(sceneHint);

	auto *logArea = new QWidget(splitter);
	auto *logLayout = new QVBoxLayout(logArea);
	logLayout->setContentsMargins(0, 6, 0, 0);
	auto *logLabel = new QLabel(QStringLiteral("Host log"), logArea);
	logLabel->setFont(bold);
	logLayout->addWidget(logLabel);
	hostLog = new QPlainTextEdit(logArea);
	hostLog->setObjectName(QStringLiteral("hostLog"));
	hostLog->setReadOnly(true);
	hostLog->setMaximumBlockCount(kMaxHostLogLines);
	hostLog->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
	logLayout->addWidget(hostLog);
	splitter->setStretchFactor(0, 3);
	splitter->setStretchFactor(1, 2);
	layout->addWidget(splitter, 1);

	setCentralWidget(central);
}

void DevHostWindow::attachDock(const QString &id, const QString &title, QWidget *widget)
{
	auto *holder = new QDockWidget(title, this);
	holder->setObjectName(id);
	holder->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable |
			    QDockWidget::DockWidgetClosable);
	holder->setWidget(widget);
	holder->setMinimumWidth(320);
	addDockWidget(Qt::RightDockWidgetArea, holder);
	resizeDocks({holder}, {430}, Qt::Horizontal);
	viewMenu->addAction(holder->toggleViewAction());
	docks.insert(id, holder);
}

void DevHostWindow::detachDock(const QString &id, QWidget *widget)
{
	QPointer<QDockWidget> holder = docks.take(id);
	// The frontend deletes the widget right after this; the holder must not take it along.
	if (widget)
		widget->setParent(nullptr);
	if (holder) {
		viewMenu->removeAction(holder->toggleViewAction());
		removeDockWidget(holder);
		holder->deleteLater();
	}
}

QWidget *DevHostWindow::dockWidget(const QString &id) const
{
	const QPointer<QDockWidget> holder = docks.value(id);
	return holder ? holder->widget() : nullptr;
}

void DevHostWindow::addScene(const QString &name)
{
	if (scenes.contains(name))
		return;
	standin::addScene(name);
	if (refuseSources)
		standin::setSceneRefusesAdd(name, true);
	scenes.append(name);
	sceneBox->addItem(name, name);
}

void DevHostWindow::addNextScene()
{
	int n = scenes.size() + 1;
	while (scenes.contains(QStringLiteral("Scene %1").arg(n)))
		++n;
	const QString name = QStringLiteral("Scene %1").arg(n);
	addScene(name);
	setCurrentScene(name);
}

void DevHostWindow::setCurrentScene(const QString &name)
{
	current = name;
	if (!name.isEmpty())
		lastScene = name;
	standin::setCurrentScene(name);

	const QSignalBlocker blockBox(sceneBox);
	const int none = sceneBox->findData(QString());
	if (name.isEmpty() && none < 0)
		sceneBox->insertItem(0, QStringLiteral("(no current scene)"), QString());
	else if (!name.isEmpty() && none >= 0)
		sceneBox->removeItem(none);
	sceneBox->setCurrentIndex(sceneBox->findData(name));
	const QSignalBlocker blockAction(noSceneAction);
	noSceneAction->setChecked(name.isEmpty());
	renderScene();
}

void DevHostWindow::setBrowserMissing(bool missing)
{
	browserMissingAction->setChecked(missing);
	standin::setSourceTypeRegistered(kBrowserSourceType, !missing);
}

void DevHostWindow::setScenesRefuseSources(bool refuse)
{
	refuseSources = refuse;
	for (const QString &scene : scenes)
		standin::setSceneRefusesAdd(scene, refuse);
	const QSignalBlocker block(refuseAction);
	refuseAction->setChecked(refuse);
}

void DevHostWindow::poll()
{
	renderScene();
	renderLog();
}

void DevHostWindow::renderScene()
{
	QStringList rows;
	QList<QStringList> cells;
	for (const standin::SceneItem &item : standin::sceneItems(current)) {
		const QVariantMap settings = standin::sourceSettings(item.source);
		const QStringList row{item.source,
				      standin::sourceTypeId(item.source),
				      settingText(settings, "width"),
				      settingText(settings, "height"),
				      QStringLiteral("%1, %2").arg(double(item.x)).arg(double(item.y)),
				      settingText(settings, "url")};
		rows.append(row.join(QLatin1Char('\t')));
		cells.append(row);
	}
	QString hint;
	if (current.isEmpty())
		hint = QStringLiteral("OBS has no current scene.");
	else if (cells.isEmpty())
		hint = QStringLiteral("“%1” is empty. “Add KELP-native Event Goal (local)” in the dock adds a Browser "
				      "Source here.")
			       .arg(current);
	if (browserMissingAction->isChecked())
		hint += QStringLiteral(" OBS Browser is missing: Browser Sources cannot be created.");
	sceneHint->setText(hint.trimmed());
	sceneHint->setVisible(!sceneHint->text().isEmpty());

	if (rows == shownRows)
		return;
	shownRows = rows;
	sourceTree->clear();
	for (const QStringList &row : cells) {
		auto *entry = new QTreeWidgetItem(sourceTree, row);
		entry->setToolTip(5, row.at(5));
	}
	for (int column = 0; column < sourceTree->columnCount() - 1; ++column)
		sourceTree->resizeColumnToContents(column);
}

void DevHostWindow::renderLog()
{
	const QList<standin::LogEntry> log = standin::log();
	if (log.size() < shownLogEntries)
		shownLogEntries = 0; // the stand-in was reset
	for (qsizetype i = shownLogEntries; i < log.size(); ++i) {
		const standin::LogEntry &entry = log.at(i);
		const QString level = entry.level == LOG_ERROR     ? QStringLiteral("error")
				      : entry.level == LOG_WARNING ? QStringLiteral("warning")
								   : QStringLiteral("info");
		hostLog->appendPlainText(QStringLiteral("%1: %2").arg(level, entry.text));
		emit hostLogLine(entry.level, entry.text);
	}
	shownLogEntries = log.size();
}
