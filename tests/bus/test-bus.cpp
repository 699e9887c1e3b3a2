#include <QTest>
class Placeholder : public QObject {
	Q_OBJECT
private slots:
	void nothing() {}
};
QTEST_MAIN(Placeholder)
#include "test-bus.moc"
