<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Configuration</name>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Ungültige Versionsnummer (%1)</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Die neueste Client-Version konnte nicht
vom Update-Server abgefragt werden.</translation>
    </message>
    <message>
        <source>Update server returned no version</source>
        <translation>Der Update-Server hat keine Version geliefert</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Der Update-Server hat eine ungültige Versionsnummer geliefert (%1)</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>The bundle %1 is writable by another user (%2). It should be updated by its owner.</source>
        <translation>Das Programmpaket %1 kann von einem anderen Benutzer geändert werden (%2). Es sollte von seinem Eigentümer aktualisiert werden.</translation>
    </message>
    <message>
        <source>Voxtrel 3 Client Update</source>
        <translation>Voxtrel 3 Client Aktualisierung</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Beta</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Alpha</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Stabil</translation>
    </message>
    <message>
        <source>Update to Voxtrel %1</source>
        <translation>Aktualisierung auf Voxtrel %1</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Sie nutzen derzeit den &lt;strong&gt;Kanal %1&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>Step two: Updating Voxtrel client</source>
        <translation>Schritt zwei: Voxtrel-Client wird aktualisiert</translation>
    </message>
    <message>
        <source>Step one: Updating updater</source>
        <translation>Schritt eins: Aktualisierungsprogramm wird aktualisiert</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Aktualisierung abgebrochen</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualisierung</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Aktualisierung abgebrochen. Unter &quot;Details&quot; finden Sie die Gründe.</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>Klicken, um &quot;%1://%2&quot; zu öffnen</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Die Aktualisierung läuft.&lt;/p&gt;&lt;p&gt;Wollen Sie sie wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>The arguments file &quot;%1&quot; for the next update step could not be written.</source>
        <translation>Die Argumentdatei &quot;%1&quot; für den nächsten Aktualisierungsschritt konnte nicht geschrieben werden.</translation>
    </message>
    <message>
        <source>The new updater &quot;%1&quot; could not be started.</source>
        <translation>Das neue Aktualisierungsprogramm &quot;%1&quot; konnte nicht gestartet werden.</translation>
    </message>
    <message>
        <source>The Voxtrel client &quot;%1&quot; could not be started.</source>
        <translation>Der Voxtrel-Client &quot;%1&quot; konnte nicht gestartet werden.</translation>
    </message>
    <message>
        <source>An update of this Voxtrel installation is already running. This window closes when it has finished.</source>
        <translation>Diese Voxtrel-Installation wird bereits aktualisiert. Dieses Fenster schließt sich, sobald das abgeschlossen ist.</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
</context>
</TS>
