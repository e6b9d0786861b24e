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

    function reloadLibrary() {
        library.model = core.getNovelList()
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

        ListView {
            id: library
            width: parent.width
            height: parent.height - 120
            clip: true
            delegate: Text {
                width: library.width
                text: modelData.title + " — " + modelData.author
                font.pixelSize: 18
                elide: Text.ElideRight
            }
        }
    }
}
