// quorvel-site's external shape: every a[data-quorvel] of the page becomes
// the mail link it was, also those added later (instant navigation, Turbo,
// PJAX). No inline script, no eval: a policy of script-src 'self' lets it run.
// Loaded again, as instant navigation does, it only looks for new links.
(() => {
  'use strict';
  const NAME = 'data-quorvel';
  const OBSERVER = Symbol.for('quorvel-site');

  // Four hex digits of key, then each UTF-16 unit XORed with the stream the
  // key starts, four digits each.
  const plain = (token) => {
    let key = parseInt(token.slice(0, 4), 16);
    let text = '';
    for (let i = 4; i + 4 <= token.length; i += 4) {
      text += String.fromCharCode(parseInt(token.slice(i, i + 4), 16) ^ key);
      key = (key * 25173 + 13849) & 0xffff;
    }
    return text;
  };

  const reveal = (link) => {
    const [href, ...addresses] = link.getAttribute(NAME).split(' ').map(plain);
    // Only mail links, as the URL parser reads the scheme: an attribute of
    // this name that came from elsewhere (a comment whose sanitizer lets
    // data-* through) must not turn into a javascript: link.
    if (!/^mailto:/i.test(href.replace(/[\t\n\r]/g, '').replace(/^[\0- ]+/, '')))
      return;
    // Without JavaScript each hidden address reads "\u2026@domain"; they
    // are put back in the order they stood in the link.
    const put = (text) => {
      for (let at = 0; addresses.length > 0;) {
        const shown = '\u2026' + addresses[0].slice(addresses[0].lastIndexOf('@'));
        const found = text.indexOf(shown, at);
        if (found < 0)
          break;
        text = text.slice(0, found) + addresses[0] + text.slice(found + shown.length);
        at = found + addresses.shift().length;
      }
      return text;
    };
    const putInto = (attr) => {
      const text = put(attr.value);
      if (text !== attr.value)
        attr.value = text;
    };
    // setAttribute would add href last: the attributes behind it go back
    // behind it, so that the element is the page's own again.
    let behind = false;
    for (const attr of Array.from(link.attributes)) {
      if (attr.name === NAME) {
        link.removeAttributeNode(attr);
        link.setAttribute('href', href);
        behind = true;
        continue;
      }
      putInto(attr);
      if (behind) {
        link.removeAttributeNode(attr);
        link.setAttributeNode(attr);
      }
    }
    const walker = document.createTreeWalker(link, NodeFilter.SHOW_ELEMENT | NodeFilter.SHOW_TEXT);
    for (let node; addresses.length > 0 && (node = walker.nextNode());) {
      if (node.nodeType === Node.TEXT_NODE) {
        const text = put(node.data);
        if (text !== node.data)
          node.data = text;
      } else {
        Array.from(node.attributes).forEach(putInto);
      }
    }
  };

  const scan = (root) => {
    if (root.nodeType !== Node.ELEMENT_NODE)
      return;
    if (root.matches('a[' + NAME + ']'))
      reveal(root);
    root.querySelectorAll('a[' + NAME + ']').forEach(reveal);
  };

  scan(document.documentElement);
  if (!document[OBSERVER]) {
    document[OBSERVER] = new MutationObserver((records) => records.forEach((r) => r.addedNodes.forEach(scan)));
    document[OBSERVER].observe(document, { childList: true, subtree: true });
  }
})();
