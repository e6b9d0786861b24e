#pragma once

#include <QString>

class QXmlStreamReader;

// The text of the element the reader has just opened, its children's included,
// up to and including its end tag. Iterative, so hostile nesting cannot exhaust
// the stack.
QString flatElementText(QXmlStreamReader &reader);
