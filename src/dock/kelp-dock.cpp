#include "dock/kelp-dock.h"

#include "common/kelp-common.h"
#include "plugin/module-handle.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QClipboard>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QUrl>
#include <QUuid>
#include <QVBoxLayout>

#include <obs-module.h>
#include <util/util.hpp>

namespace {
constexpr int kMaxLogLines = 50;
constexpr int kRawEventPreviewBytes = 220;
// What one event field or one log line may put on screen: laying out a megabyte of text in a
// wrapping label holds the UI thread for seconds. The bus still gets the event whole.
constexpr int kMaxFieldChars = 120;
constexpr int kMaxLogLineChars = 600;

QString cutForDisplay(const QString &text, int maxChars)
{
	return text.size() <= maxChars ? text : text.left(maxChars - 1) + QChar(0x2026);
}

QLabel *makeWrappingLabel(const char *objectName, QWidget *parent)
{
	auto *label = new QLabel(parent);
	label->setObjectName(QLatin1String(objectName));
	// Rows show text from the service, events and file names: as rich text, markup in it could
	// restyle the panel or make it load an image from anywhere, a network share included.
	label->setTextFormat(Qt::PlainText);
	label->setWordWrap(true);
	return label;
}

QPushButton *makeButton(const char *objectName, const QString &text, QWidget *parent)
{
	auto *button = new QPushButton(text, parent);
	button->setObjectName(QLatin1String(objectName));
	return button;
}
} // namespace

QLabel *makeSectionLabel(const QString &text)
{
	auto *label = new QLabel(text);
	QFont font = label->font();
	font.setBold(true);
	label->setFont(font);
	return label;
}

QByteArray makeLocalTestDonation()
{
	// QJsonObject keeps its keys sorted, which gives the ascending member order on the wire.
	QJsonObject event;
	event.insert(QStringLiteral("seq"), 0);
	event.insert(QStringLiteral("id"),
		     QStringLiteral("local_") + QUuid::createUuid().toString(QUuid::WithoutBraces));
	event.insert(QStringLiteral("type"), QStringLiteral("donation"));
	event.insert(QStringLiteral("provider"), QStringLiteral("kelp-local-test"));
	event.insert(QStringLiteral("timestamp"), QDateTime::currentMSecsSinceEpoch());
	event.insert(QStringLiteral("test"), true);
	event.insert(QStringLiteral("amount"), 100.0);
	event.insert(QStringLiteral("currency"), QStringLiteral("RUB"));
	return QJsonDocument(event).toJson(QJsonDocument::Compact);
}

KelpDock::KelpDock(QWidget *parent) : QWidget(parent), client(this), server(this), updater(this)
{
	buildPanel();
	wireEngines();
	startEngines();
}

KelpDock::~KelpDock()
{
	// Streams close while the labels still exist, so the last stateChanged renders safely.
	server.stop();
}

void KelpDock::buildPanel()
{
	setMinimumSize(0, 0);
	setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

	auto *outer = new QVBoxLayout(this);
	outer->setContentsMargins(0, 0, 0, 0);
	outer->setSpacing(0);
	auto *scroll = new QScrollArea(this);
	scroll->setWidgetResizable(true);
	scroll->setFrameShape(QFrame::NoFrame);
	scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
	scroll->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

	auto *content = new QWidget(scroll);
	content->setMinimumSize(0, 0);
	// Ignored horizontally so the dock may be narrower than any label's text.
	content->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
	auto *layout = new QVBoxLayout(content);
	layout->setContentsMargins(12, 12, 12, 12);
	layout->setSpacing(9);
	scroll->setWidget(content);
	outer->addWidget(scroll);

	// Row 1
	auto *title = new QLabel(QStringLiteral("KELP Streaming Runtime"), content);
	QFont titleFont = title->font();
	titleFont.setPointSize(titleFont.pointSize() + 2);
	titleFont.setBold(true);
	title->setFont(titleFont);
	title->setWordWrap(true);
	layout->addWidget(title);

	// Rows 2 to 4
	statusLabel = makeWrappingLabel("statusLabel", content);
	layout->addWidget(statusLabel);
	deviceLabel = makeWrappingLabel("deviceLabel", content);
	deviceLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
	layout->addWidget(deviceLabel);
	latencyLabel = makeWrappingLabel("latencyLabel", content);
	layout->addWidget(latencyLabel);

	// Row 5
	pairCodeLabel = new QLabel(content);
	pairCodeLabel->setObjectName(QStringLiteral("pairCodeLabel"));
	pairCodeLabel->setTextFormat(Qt::PlainText);
	pairCodeLabel->setAlignment(Qt::AlignCenter);
	QFont codeFont = pairCodeLabel->font();
	codeFont.setPointSize(codeFont.pointSize() + 8);
	codeFont.setBold(true);
	codeFont.setLetterSpacing(QFont::AbsoluteSpacing, 2.0);
	pairCodeLabel->setFont(codeFont);
	pairCodeLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
	layout->addWidget(pairCodeLabel);

	// Row 6
	auto *pairRow = new QVBoxLayout();
	pairButton = makeButton("pairButton", QStringLiteral("Pair OBS"), content);
	copyCodeButton = makeButton("copyCodeButton", QStringLiteral("Copy code"), content);
	pairRow->addWidget(pairButton);
	pairRow->addWidget(copyCodeButton);
	layout->addLayout(pairRow, 0);

	// Rows 7 and 8
	// "&&" shows one ampersand; a single one would turn the W into a keyboard mnemonic.
	openSiteButton = makeButton("openSiteButton", QStringLiteral("Open OBS && Widgets"), content);
	layout->addWidget(openSiteButton);
	disconnectButton = makeButton("disconnectButton", QStringLiteral("Disconnect this OBS"), content);
	layout->addWidget(disconnectButton);

	// Rows 9 to 12
	layout->addWidget(makeSectionLabel(QStringLiteral("Local Widget Bus")));
	busLabel = makeWrappingLabel("busLabel", content);
	layout->addWidget(busLabel);
	widgetLabel = makeWrappingLabel("widgetLabel", content);
	layout->addWidget(widgetLabel);
	runtimeLabel = makeWrappingLabel("runtimeLabel", content);
	layout->addWidget(runtimeLabel);

	// Rows 13 to 16
	checkRuntimeButton = makeButton("checkRuntimeButton", QStringLiteral("Check widget runtime update"), content);
	layout->addWidget(checkRuntimeButton);
	syncConfigButton = makeButton("syncConfigButton", QStringLiteral("Sync Event Goal from website"), content);
	layout->addWidget(syncConfigButton);
	testEventButton = makeButton("testEventButton", QStringLiteral("Send local test donation"), content);
	layout->addWidget(testEventButton);
	addEventGoalButton =
		makeButton("addEventGoalButton", QStringLiteral("Add KELP-native Event Goal (local)"), content);
	addEventGoalButton->setToolTip(QStringLiteral(
		"Creates a separate KELP-local Browser Source. Existing StreamElements sources are never modified."));
	layout->addWidget(addEventGoalButton);

	// Rows 17 to 19
	layout->addWidget(makeSectionLabel(QStringLiteral("Last event")));
	lastEventLabel = makeWrappingLabel("lastEventLabel", content);
	lastEventLabel->setText(QStringLiteral("—"));
	layout->addWidget(lastEventLabel);
	countersLabel = makeWrappingLabel("countersLabel", content);
	layout->addWidget(countersLabel);

	// Rows 20 and 21
	layout->addWidget(makeSectionLabel(QStringLiteral("Runtime log")));
	logList = new QListWidget(content);
	logList->setObjectName(QStringLiteral("logList"));
	logList->setMinimumHeight(100);
	logList->setMaximumHeight(16777215);
	logList->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
	// Error lines carry the service's own message; wrapped, a streamer reads them without scrolling
	// sideways in a narrow dock.
	logList->setWordWrap(true);
	logList->setResizeMode(QListView::Adjust);
	logList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
	layout->addWidget(logList, 1);

	for (QPushButton *button : {pairButton, copyCodeButton, openSiteButton, disconnectButton, checkRuntimeButton,
				    syncConfigButton, testEventButton, addEventGoalButton}) {
		button->setMinimumWidth(0);
		button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
	}
}

void KelpDock::wireEngines()
{
	// 1
	connect(pairButton, &QPushButton::clicked, &client, &KelpClient::startPairing);
	// 2
	connect(copyCodeButton, &QPushButton::clicked, this, [this] {
		const QString code = client.pairCode();
		if (code.isEmpty())
			return;
		QGuiApplication::clipboard()->setText(code, QClipboard::Clipboard);
		appendLog(QStringLiteral("Pair code copied."));
	});
	// 3
	connect(openSiteButton, &QPushButton::clicked, this, [] {
		QDesktopServices::openUrl(QUrl(kelpServiceOrigin() + QStringLiteral("/?view=obs"), QUrl::TolerantMode));
	});
	// 4
	connect(disconnectButton, &QPushButton::clicked, &client, &KelpClient::disconnectDevice);
	// 5
	connect(syncConfigButton, &QPushButton::clicked, &client, &KelpClient::syncWidgetState);
	// 6
	connect(checkRuntimeButton, &QPushButton::clicked, &updater, &RuntimeUpdater::checkForUpdate);
	// 7
	connect(testEventButton, &QPushButton::clicked, this, &KelpDock::sendLocalTest);
	// 8
	connect(addEventGoalButton, &QPushButton::clicked, this, &KelpDock::installEventGoal);
	// 9
	connect(&client, &KelpClient::stateChanged, this, &KelpDock::refreshUi);
	// 10
	connect(&client, &KelpClient::eventReceived, this, &KelpDock::onEvent);
	// 11
	connect(&client, &KelpClient::logLine, this, &KelpDock::appendLog);
	// 12
	connect(&client, &KelpClient::widgetConfigReceived, this,
		[this](const QByteArray &json, const QString &revision) {
			server.setWidgetConfig(json, revision);
			resizeEventGoalFromConfig(json);
			appendLog(QStringLiteral("Event Goal config synced · %1").arg(revision.left(8)));
			refreshUi();
		});
	// 13
	connect(&client, &KelpClient::widgetAssetReceived, this,
		[this](const QString &slot, const QByteArray &mime, const QByteArray &data, const QString &revision) {
			server.setWidgetAsset(slot, mime, data, revision);
			refreshUi();
		});
	// 14
	connect(&client, &KelpClient::widgetAssetCleared, this, [this](const QString &slot) {
		server.clearWidgetAsset(slot);
		refreshUi();
	});
	// 15
	connect(&updater, &RuntimeUpdater::stateChanged, this, &KelpDock::refreshUi);
	// 16
	connect(&updater, &RuntimeUpdater::logLine, this, &KelpDock::appendLog);
	// 17
	connect(&updater, &RuntimeUpdater::runtimeActivated, this,
		[this](const QString &root, const QString &version, bool changed) {
			server.setWidgetRoot(root);
			server.setRuntimeVersion(version);
			if (changed) {
				refreshEventGoalRuntime(version);
				appendLog(QStringLiteral("Widget runtime %1 applied; existing Event Goal refreshed.")
						  .arg(version));
			} else {
				appendLog(QStringLiteral("Using cached widget runtime %1.").arg(version));
			}
			refreshUi();
		});
	// 18
	connect(&server, &LocalSseServer::stateChanged, this, &KelpDock::refreshUi);
	// The bus keeps trying a port it could not bind at start-up; its stateChanged shows it running.
	connect(&server, &LocalSseServer::listeningAfterRetry, this, [this] {
		appendLog(QStringLiteral("Local port 4251 is free again; the local widget bus is running."));
	});
}

void KelpDock::startEngines()
{
	BPtr<char> indexPath = obs_find_module_file(kelpModuleHandle(), "widgets/event-goal/index.html");
	if (indexPath)
		server.setWidgetRoot(QFileInfo(QString::fromUtf8(indexPath.Get())).absolutePath());
	else
		appendLog(QStringLiteral("Event Goal data directory could not be resolved."));
	indexPath = nullptr;

	if (!server.start()) {
		// Worded from the error: on Windows a port inside a range the system reserves (Hyper-V,
		// WSL) is refused as access denied, and no other KELP is to blame.
		switch (server.listenError()) {
		case QAbstractSocket::AddressInUseError:
			appendLog(QStringLiteral(
				"Could not bind local port 4251. Another KELP runtime may already be running."));
			break;
		case QAbstractSocket::SocketAccessError:
			appendLog(QStringLiteral("Could not bind local port 4251: access denied. Windows may reserve "
						 "it for Hyper-V or WSL (netsh interface ipv4 show excludedportrange "
						 "protocol=tcp lists such ranges)."));
			break;
		default:
			appendLog(
				QStringLiteral("Could not bind local port 4251: %1.").arg(server.listenErrorString()));
			break;
		}
	}

	updater.start();
	client.start();

	refreshUi();
}

void KelpDock::refreshUi()
{
	// 1
	statusLabel->setText(QStringLiteral("KELP: %1").arg(client.statusText()));
	// 2
	deviceLabel->setText(QStringLiteral("Device: %1\nID: %2").arg(client.deviceName(), client.deviceId()));
	// 3
	if (client.latencyMs() < 0)
		latencyLabel->setText(QStringLiteral("Gateway latency: —"));
	else
		latencyLabel->setText(QStringLiteral("Gateway latency: %1 ms").arg(client.latencyMs()));
	// 4, 5: "Copy code" is only ever hidden, never disabled.
	const QString code = client.pairCode();
	pairCodeLabel->setText(code);
	pairCodeLabel->setVisible(!code.isEmpty());
	copyCodeButton->setVisible(!code.isEmpty());
	// 6, 7
	pairButton->setVisible(!client.isPaired());
	disconnectButton->setVisible(client.isPaired());
	// 8
	if (server.isListening())
		busLabel->setText(QStringLiteral("● http://127.0.0.1:%1/events\nBrowser widgets connected: %2")
					  .arg(server.port())
					  .arg(server.clientCount()));
	else
		busLabel->setText(QStringLiteral("○ Local runtime unavailable"));
	// 9
	QString widgetText = client.widgetStatusText();
	if (!server.widgetRevision().isEmpty())
		widgetText += QStringLiteral("\nLocal revision: %1").arg(server.widgetRevision().left(8));
	widgetLabel->setText(widgetText);
	// 10
	runtimeLabel->setText(updater.statusText());
	// 11
	checkRuntimeButton->setEnabled(!updater.isBusy());
	// 12
	syncConfigButton->setEnabled(client.isPaired());
	// 13
	countersLabel->setText(QStringLiteral("Remote events: %1 · Local deliveries: %2 · Last seq: %3")
				       .arg(client.eventsReceived())
				       .arg(server.deliveredCount())
				       .arg(client.lastSeq()));
}

void KelpDock::appendLog(const QString &line)
{
	logList->insertItem(0, QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")) +
				       QStringLiteral("  ") + cutForDisplay(line, kMaxLogLineChars));
	while (logList->count() > kMaxLogLines)
		delete logList->takeItem(logList->count() - 1);
}

void KelpDock::onEvent(const QByteArray &json)
{
	server.broadcastEvent(json);

	const QJsonDocument document = QJsonDocument::fromJson(json);
	if (document.isObject()) {
		const QJsonObject event = document.object();
		const QJsonValue typeValue = event.value(QStringLiteral("type"));
		const QJsonValue providerValue = event.value(QStringLiteral("provider"));
		const QJsonValue seqValue = event.value(QStringLiteral("seq"));
		const QString type = typeValue.isString() ? cutForDisplay(typeValue.toString(), kMaxFieldChars)
							  : QStringLiteral("event");
		const QString provider = providerValue.isString()
						 ? cutForDisplay(providerValue.toString(), kMaxFieldChars)
						 : QStringLiteral("kelp");
		const qint64 seq = seqValue.isDouble() ? truncateToInt64(seqValue.toDouble()) : 0;
		// One pass for all three: a "%1" inside the provider text must not capture the seq.
		const QString seqText = QString::number(seq);
		lastEventLabel->setText(QStringLiteral("%1 · %2 · seq %3").arg(provider, type, seqText));
		appendLog(QStringLiteral("%1 / %2 / seq %3").arg(provider, type, seqText));
	} else {
		lastEventLabel->setText(QString::fromUtf8(json.left(kRawEventPreviewBytes)));
	}
	refreshUi();
}

void KelpDock::sendLocalTest()
{
	server.broadcastEvent(makeLocalTestDonation());
	lastEventLabel->setText(QStringLiteral("kelp-local-test · donation · local"));
	appendLog(QStringLiteral("Local test donation sent to Browser Sources."));
	refreshUi();
}
