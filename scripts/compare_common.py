"""What the byte-comparison scripts (compare-classic, compare-roundtrips) share: their command line
(OLD_CLI NEW_CLI, --corpus, --work), the corpus and the passwords of its encrypted workbooks, and the
comparison of two folders of outputs."""
import argparse
import filecmp
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "..", "..", "..", "shared", "corpus")

# The passwords of the encrypted corpus workbooks, in the order they are tried.
PASSWORDS = ["password", "freedom", "abc", "pw136"]


def password_options(passwords=PASSWORDS):
    """--password PW for each password, as the merge takes them."""
    return [word for password in passwords for word in ("--password", password)]


def arguments(doc, work_name):
    """The parsed command line: old and new (absolute paths of the two programs), corpus and work (a
    folder for the outputs, made if missing)."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old", help="plicato-cli built from the commit before the change")
    parser.add_argument("new", help="the plicato-cli to check")
    parser.add_argument("--corpus", default=CORPUS)
    parser.add_argument("--work", default=os.path.join(tempfile.gettempdir(), work_name))
    args = parser.parse_args()
    args.old, args.new, args.corpus = (os.path.abspath(p) for p in (args.old, args.new, args.corpus))
    os.makedirs(args.work, exist_ok=True)
    return args


def compare_folders(old_folder, new_folder):
    """(faults, files compared) between the files of two output folders, compared byte for byte."""
    old_files, new_files = sorted(os.listdir(old_folder)), sorted(os.listdir(new_folder))
    faults = [] if old_files == new_files else ["outputs %s, before %s" % (new_files, old_files)]
    both = sorted(set(old_files) & set(new_files))
    for f in both:
        if not filecmp.cmp(os.path.join(old_folder, f), os.path.join(new_folder, f), shallow=False):
            faults.append("%s differs" % f)
    return faults, len(both)


def summary(compared, what, failures):
    """The last line of a comparison, and the exit status that goes with it."""
    print("%d %s compared; %s" % (compared, what, "FAIL" if failures else "all byte-identical"))
    sys.stdout.flush()
    return 1 if failures else 0
