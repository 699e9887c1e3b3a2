#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class DevHostWindow;
class QPushButton;
class QTcpSocket;
class QWidget;

namespace kelpsim {
class ServiceSim;
}

// What the command line asked the dev host to do by itself once the dock is up.
struct AutopilotPlan {
	bool pressPair = false;    // press "Pair OBS" when the dock is unpaired
	bool approve = false;      // approve every pending code in the built-in simulator
	bool addGoal = false;      // press "Add KELP-native Event Goal (local)"
	bool donate = false;       // queue one donation in the built-in simulator once paired
	bool widgetReader = false; // read the bus's /events as a Browser Source would, from before the donation
	QString screenshot;        // write a picture of the window here once everything settled, then finish

	// Press "Pair OBS" again, after "Disconnect this OBS" when a token is held, once the code or
	// the token expires.
	bool repair = false;
	// Where a person types the code, and a shell command with %CODE% that approves it (empty when
	// the service has no control API).
	QString codePage;
	QString approveCommand;
};

// Presses the dock's buttons as a user would, plays the service's part in the built-in simulator,
// reports what the user has to act on (the pairing code) and takes the screenshot. It only reads
// the dock through its widgets; the dock's code is the module's and out of reach.
class Autopilot : public QObject {
	Q_OBJECT

public:
	Autopilot(const AutopilotPlan &plan, DevHostWindow *window, kelpsim::ServiceSim *sim,
		  QObject *parent = nullptr);

	void start();

signals:
	void message(const QString &line);
	// Only with a screenshot: the picture is written (0) or could not be (1), or the dock never
	// settled and the picture shows it as it was (3).
	void finished(int exitCode);

private:
	void tick();
	void step();
	void nudge();
	bool hasWork() const;
	QWidget *dock() const;
	QPushButton *button(const char *objectName) const;
	QString labelText(const char *objectName) const;
	bool isPaired() const;
	QString snapshot() const;
	bool settled() const;
	void shoot(bool timedOut);
	void openReader();
	void pairAgain();
	bool readerReady() const;

	AutopilotPlan plan;
	QPointer<DevHostWindow> window;
	QPointer<kelpsim::ServiceSim> sim;
	QTimer ticker;
	QTimer nudgeTimer;
	QElapsedTimer sinceStart;
	QElapsedTimer sinceChange;
	QElapsedTimer sinceActivity;
	QString lastSnapshot;
	QString shownCode;
	QString shownStatus;
	QTcpSocket *reader = nullptr;
	QByteArray readerTail;
	bool readerHeadDone = false;
	bool readerGotEvent = false;
	bool pairPressed = false;
	bool repairing = false;
	bool goalPressed = false;
	bool donated = false;
	bool shot = false;
	bool logWatched = false;
};
