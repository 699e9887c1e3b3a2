#pragma once

#include "bus/local-sse-server.h"
#include "client/kelp-client.h"
#include "runtime/runtime-updater.h"

#include <QWidget>

class QLabel;
class QListWidget;
class QPushButton;

// The one widget the module gives to OBS: owns the engines, wires them together and renders
// their state.
class KelpDock : public QWidget {
	Q_OBJECT

public:
	explicit KelpDock(QWidget *parent = nullptr);
	~KelpDock() override;

private slots:
	void refreshUi();
	void onEvent(const QByteArray &json);
	void sendLocalTest();
	void installEventGoal();
	void refreshEventGoalRuntime(const QString &version);

private:
	void buildPanel();
	void wireEngines();
	void startEngines();
	void appendLog(const QString &line);
	void resizeEventGoalFromConfig(const QByteArray &configJson);

	KelpClient client;
	LocalSseServer server;
	RuntimeUpdater updater;

	QLabel *statusLabel = nullptr;
	QLabel *deviceLabel = nullptr;
	QLabel *pairCodeLabel = nullptr;
	QLabel *latencyLabel = nullptr;
	QLabel *busLabel = nullptr;
	QLabel *widgetLabel = nullptr;
	QLabel *runtimeLabel = nullptr;
	QLabel *lastEventLabel = nullptr;
	QLabel *countersLabel = nullptr;
	QPushButton *pairButton = nullptr;
	QPushButton *copyCodeButton = nullptr;
	QPushButton *openSiteButton = nullptr;
	QPushButton *disconnectButton = nullptr;
	QPushButton *testEventButton = nullptr;
	QPushButton *addEventGoalButton = nullptr;
	QPushButton *syncConfigButton = nullptr;
	QPushButton *checkRuntimeButton = nullptr;
	QListWidget *logList = nullptr;
};

// A bold section header for the panel.
QLabel *makeSectionLabel(const QString &text);

// The local test donation as compact JSON, members in ascending key order.
QByteArray makeLocalTestDonation();
