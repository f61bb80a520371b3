<?php
// Asks for HTTP Digest authentication (MD5, qop "auth") of the user kiva with the password
// s3cret and answers "welcome kiva" once an answer checks out. The nonce is not remembered:
// this is a test receiver, not a guard.
$realm = 'lumox-origin';
$users = ['kiva' => 's3cret'];

function challenge($realm) {
  header('HTTP/1.1 401 Unauthorized');
  header('WWW-Authenticate: Digest realm="' . $realm . '", qop="auth", nonce="' .
         bin2hex(random_bytes(16)) . '", opaque="' . md5($realm) . '"');
  echo "denied\n";
  exit;
}

$auth = $_SERVER['HTTP_AUTHORIZATION'] ?? '';
if (strncasecmp($auth, 'Digest ', 7) !== 0) challenge($realm);
preg_match_all('/(\w+)=(?:"([^"]*)"|([^\s,]*))/', substr($auth, 7), $found, PREG_SET_ORDER);
$p = [];
foreach ($found as $m) {
  $p[$m[1]] = isset($m[3]) && $m[3] !== '' ? $m[3] : $m[2];
}
foreach (['username', 'realm', 'nonce', 'uri', 'response', 'qop', 'nc', 'cnonce'] as $key) {
  if (!isset($p[$key])) challenge($realm);
}
if (!isset($users[$p['username']]) || $p['realm'] !== $realm ||
    $p['uri'] !== $_SERVER['REQUEST_URI']) challenge($realm);
$ha1 = md5($p['username'] . ':' . $realm . ':' . $users[$p['username']]);
$ha2 = md5($_SERVER['REQUEST_METHOD'] . ':' . $p['uri']);
$expected = md5("$ha1:{$p['nonce']}:{$p['nc']}:{$p['cnonce']}:{$p['qop']}:$ha2");
if (!hash_equals($expected, $p['response'])) challenge($realm);
echo 'welcome ', $p['username'], "\n";
