// Stand-in for the platform user interface: a plain window over ApplicationCore.
import QtQuick 2.6
import com.quillora.applicationcore 1.0

Rectangle {
    id: root
    width: 540
    height: 960
    color: "white"

    ApplicationCore {
        id: core
    }

    // The book being read; a reading session runs while it is set.
    property string openBookId: ""

    function reloadLibrary() {
        library.model = core.getNovelList()
    }

    function openBook(novelId) {
        if (openBookId !== "")
            closeOpenBook()
        openBookId = novelId
        core.startReadingSession(novelId)
    }

    function closeOpenBook() {
        core.closeBook()
        openBookId = ""
    }

    Timer {
        interval: 30000
        repeat: true
        running: root.openBookId !== ""
        onTriggered: core.heartbeatReadingSession()
    }

    // Removal runs in the background and reports nothing; look again shortly.
    Timer {
        id: reloadLater
        interval: 500
        onTriggered: root.reloadLibrary()
    }

    Component.onCompleted: reloadLibrary()

    Column {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 8

        Text {
            text: "Quillora"
            font.pixelSize: 32
        }

        Text {
            text: library.count === 0 ? "书架为空" : "书架 (" + library.count + ")"
            font.pixelSize: 20
        }

        // Import a book by its path.
        Row {
            width: parent.width
            spacing: 8

            Rectangle {
                width: parent.width - importButton.width - 8
                height: importPath.height + 8
                border.color: "gray"

                TextInput {
                    id: importPath
                    anchors.left: parent.left
                    anchors.right: parent.right
                    anchors.verticalCenter: parent.verticalCenter
                    anchors.margins: 4
                    font.pixelSize: 18
                    clip: true
                }
            }

            Text {
                id: importButton
                text: "导入"
                font.pixelSize: 18
                color: "darkblue"

                MouseArea {
                    anchors.fill: parent
                    onClicked: {
                        if (importPath.text !== "")
                            core.importNovel(importPath.text)
                    }
                }
            }
        }

        Text {
            id: importStatus
            width: parent.width
            font.pixelSize: 16
            elide: Text.ElideRight
        }

        Connections {
            target: core
            function onNovelImportProgress(message) { importStatus.text = message }
            function onNovelImportSucceeded(message) {
                importStatus.text = message
                root.reloadLibrary()
            }
            function onNovelImportFailed(message) { importStatus.text = message }
        }

        ListView {
            id: library
            objectName: "library"
            width: parent.width
            height: parent.height - 180
            clip: true
            delegate: Row {
                width: library.width
                spacing: 8

                Text {
                    width: parent.width - removeButton.width - 8
                    text: (modelData.id === root.openBookId ? "▶ " : "")
                          + modelData.title + " — " + modelData.author
                    font.pixelSize: 18
                    elide: Text.ElideRight

                    MouseArea {
                        anchors.fill: parent
                        onClicked: modelData.id === root.openBookId
                                   ? root.closeOpenBook() : root.openBook(modelData.id)
                    }
                }

                Text {
                    id: removeButton
                    text: "删除"
                    font.pixelSize: 18
                    color: "darkred"

                    MouseArea {
                        anchors.fill: parent
                        onClicked: {
                            if (modelData.id === root.openBookId)
                                root.closeOpenBook()
                            core.removeNovel([modelData])
                            reloadLater.start()
                        }
                    }
                }
            }
        }
    }
}
